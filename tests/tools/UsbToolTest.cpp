// quenvar status, print and list on both USB routes: the command runs with
// virtual USB printers preloaded into its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class UsbToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quenvar-usbtool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs `quenvar ARGS` with the printer `printer` (a QUENVAR_TEST_PRINTER
    // value) in its process; its output goes to out_, its exit code back.
    // `environment`: more variables for the command.
    int quenvar(const std::string& printer, const std::string& args, const std::string& environment = "") {
        // Under the address sanitizer the preloaded library comes before its
        // runtime, which the runtime accepts when told.
        const std::string command = environment + " QUENVAR_TEST_PRINTER='" + printer +
                                    "' LD_PRELOAD=" QUENVAR_PRELOAD_PATH
                                    " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" " +
                                    std::string(QUENVAR_TOOL_PATH) + " " + args + " >" + dir_ + "/out 2>&1";
        const int status = std::system(command.c_str());
        out_ = slurp(dir_ + "/out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // `quenvar list --json` with `printers` on the bus and no serial or
    // parallel port; its USB entries.
    nlohmann::json listUsb(const std::string& printers) {
        std::filesystem::create_directories(dir_ + "/dev");
        EXPECT_EQ(quenvar(printers, "list --json --dev-root " + dir_ + "/dev --sys-root " + dir_ + "/sys"), 0) << out_;
        return nlohmann::json::parse(out_).at("usb");
    }
    // `quenvar status NAME --json` with `printers` on the bus.
    nlohmann::json status(const std::string& printers, const std::string& name) {
        EXPECT_EQ(quenvar(printers, "status '" + name + "' --json -t 200"), 0) << name << ": " << out_;
        return nlohmann::json::parse(out_);
    }

    std::string dir_;
    std::string out_;
};

// Each name the list prints opens, with `quenvar status`, the printer it was
// printed for: the vendor printers tell theirs apart by the ETB counter, the
// printer-class ones by paper.
TEST_F(UsbToolTest, ListedNamesSelectTheirPrinters) {
    const std::string printers =
        "usbven:serial=LISTA001,model=QV-A,etb=1;usbven:serial=LISTB001,model=QV-B,etb=2;"
        "usbven:serial=LISTC001,model=QV-B,etb=3,bus=2;usbven:serial=LISTE001,model=QV-E,read-only;"
        "usbprn:serial=LISTD001,model=QV-P;usbprn:serial=LISTF001,model=QV-P,no-driver,paper-empty";
    const nlohmann::json usb = listUsb(printers);
    ASSERT_EQ(usb.size(), 6u) << usb.dump(2);
    std::map<std::string, nlohmann::json> bySerial;
    int refused = 0;
    for (const nlohmann::json& entry : usb) {
        if (entry.at("mayOpen") == false) {
            ++refused;
            EXPECT_TRUE(entry.at("portName").is_null()) << entry.dump(2);
        } else {
            bySerial[entry.at("serial").get<std::string>()] = entry;
        }
    }
    EXPECT_EQ(refused, 1);

    struct Expected {
        const char* serial;
        const char* name;
        const char* driver;
        int etb;          // vendor route: the ETB counter status reports
        bool paperEmpty;  // printer class
    };
    const Expected expected[] = {
        {"LISTA001", "usbven:MDL:QV-A", "", 1, false},      // a text of its own
        {"LISTB001", "usbven:;sn:LISTB001", "", 2, false},  // the same text as C: the serial number decides
        {"LISTC001", "usbven:;sn:LISTC001", "", 3, false},
        // The kernel's printer driver holds D, so its text is not asked and
        // every text may match it.
        {"LISTD001", "usbprn:;sn:LISTD001", "usblp", -1, false},
        {"LISTF001", "usbprn:;sn:LISTF001", "", -1, true},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.serial);
        ASSERT_EQ(bySerial.count(e.serial), 1u) << usb.dump(2);
        const nlohmann::json& entry = bySerial[e.serial];
        EXPECT_EQ(entry.at("portName"), e.name) << entry.dump(2);
        EXPECT_EQ(entry.at("nameMatchesOnlyThis"), true);
        EXPECT_EQ(entry.at("kernelDriver"), e.driver);
        const nlohmann::json answer = status(printers, e.name);
        if (e.etb >= 0)
            EXPECT_EQ(answer.at("etbCounter"), e.etb);
        else
            EXPECT_EQ(answer.at("receiptPaperEmpty"), e.paperEmpty);
    }
    EXPECT_NE(bySerial["LISTF001"].at("identification").get<std::string>().find("MDL:QV-P;"), std::string::npos);
    EXPECT_TRUE(bySerial["LISTD001"].at("identification").is_null());
}

// Two printers alike in text and serial number: the first in the search
// order gets the name that selects it, the other none.
TEST_F(UsbToolTest, ListedTwinsOnlyTheFirstHasAName) {
    const std::string printers = "usbven:serial=TWIN0001,etb=4;usbven:serial=TWIN0001,etb=5";
    const nlohmann::json usb = listUsb(printers);
    ASSERT_EQ(usb.size(), 2u) << usb.dump(2);
    const nlohmann::json& named = usb[0].at("portName").is_null() ? usb[1] : usb[0];
    const nlohmann::json& unnamed = usb[0].at("portName").is_null() ? usb[0] : usb[1];
    ASSERT_TRUE(unnamed.at("portName").is_null()) << usb.dump(2);
    EXPECT_EQ(named.at("nameMatchesOnlyThis"), false);
    // Devices are numbered from 002 on in the order they are plugged in.
    const int etb = named.at("device") == "002" ? 4 : 5;
    EXPECT_EQ(status(printers, named.at("portName").get<std::string>()).at("etbCounter"), etb);
}

// Serial and parallel ports from a stand-in /dev and /sys; a port sysfs calls
// no UART, and names of other devices, are left out.
TEST_F(UsbToolTest, ListsSerialAndParallelPorts) {
    namespace fs = std::filesystem;
    const std::string dev = dir_ + "/dev", sys = dir_ + "/sys", usbfs = dir_ + "/usb";
    fs::create_directories(usbfs + "/001");  // an empty USB bus
    for (const char* name : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM10", "ttyACM2", "parport0", "tty0", "ttySAC0"}) {
        fs::create_directories(dev);
        std::ofstream(dev + "/" + name);
    }
    const std::string adapter = sys + "/devices/pci0/usb1/1-1";
    fs::create_directories(adapter + "/1-1:1.0/ttyUSB0");
    for (auto [file, text] : std::map<std::string, std::string>{
             {"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"}, {"serial", "A1B2"}})
        std::ofstream(adapter + "/" + file) << text << "\n";
    fs::create_directories(sys + "/class/tty/ttyUSB0");
    fs::create_directory_symlink(adapter + "/1-1:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");
    for (auto [name, type] : std::map<std::string, std::string>{{"ttyS0", "4"}, {"ttyS1", "0"}}) {
        fs::create_directories(sys + "/class/tty/" + name);
        std::ofstream(sys + "/class/tty/" + name + "/type") << type << "\n";
    }

    ASSERT_EQ(quenvar("", "list --json --dev-root " + dev + " --sys-root " + sys, "USB_DEVFS_PATH=" + usbfs), 0)
        << out_;
    const nlohmann::json list = nlohmann::json::parse(out_);
    EXPECT_TRUE(list.at("usb").empty());
    std::vector<std::string> serial;
    for (const nlohmann::json& port : list.at("serial"))
        serial.push_back(port.at("portName"));
    EXPECT_EQ(serial, (std::vector<std::string>{"/dev/ttyACM2", "/dev/ttyACM10", "/dev/ttyS0", "/dev/ttyUSB0"}));
    const nlohmann::json& usbSerial = list.at("serial").at(3).at("usb");
    EXPECT_EQ(usbSerial.at("vendorId"), "0403");
    EXPECT_EQ(usbSerial.at("serial"), "A1B2");
    EXPECT_EQ(list.at("parallel").at(0).at("portName"), "/dev/parport0");

    fs::remove_all(dev);
    fs::create_directories(dev);
    EXPECT_EQ(quenvar("", "list --dev-root " + dev + " --sys-root " + sys, "USB_DEVFS_PATH=" + usbfs), 0) << out_;
    EXPECT_NE(out_.find("no printer ports found"), std::string::npos) << out_;
}

TEST_F(UsbToolTest, StatusOnBothRoutes) {
    EXPECT_EQ(quenvar("usbven:serial=STAT0001,cover-open,etb=9", "status 'usbven:;sn:STAT0001' -t 100"), 0) << out_;
    EXPECT_NE(out_.find("cover open"), std::string::npos) << out_;
    EXPECT_NE(out_.find("ETB counter: 9"), std::string::npos) << out_;

    EXPECT_EQ(quenvar("usbprn:serial=STAT0002,paper-empty", "status 'usbprn:MDL:QV-U100;sn:STAT0002' -t 100"), 0)
        << out_;
    EXPECT_NE(out_.find("online:      no"), std::string::npos) << out_;
    EXPECT_NE(out_.find("paper out"), std::string::npos) << out_;
}

TEST_F(UsbToolTest, ConfirmedPrintOnBothRoutes) {
    const std::string job = "a receipt over USB\n";
    std::ofstream(dir_ + "/job.bin", std::ios::binary) << job;
    const std::string printed = dir_ + "/printed.bin";

    EXPECT_EQ(quenvar("usbven:serial=PRNT0001,speed=2000,printed=" + printed,
                      "print 'usbven:;sn:PRNT0001' " + dir_ + "/job.bin -t 200"),
              0)
        << out_;
    EXPECT_NE(out_.find("job confirmed"), std::string::npos) << out_;
    EXPECT_EQ(slurp(printed), job + "\x17");  // the job, then the ETB that confirmed it

    EXPECT_EQ(quenvar("usbprn:serial=PRNT0002,speed=2000,printed=" + printed,
                      "print 'usbprn:;sn:PRNT0002' " + dir_ + "/job.bin -t 200"),
              0)
        << out_;
    EXPECT_NE(out_.find("job confirmed"), std::string::npos) << out_;
    EXPECT_EQ(slurp(printed), job);
}

}  // namespace
