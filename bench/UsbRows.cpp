// The USB vendor route measured against the same USB library calls made by
// hand, on virtual printers plugged into the emulated usbfs of the test rig
// (tests/support/FakeUsb.h). Both sides go through the same USB library and
// the same emulated kernel, so the figure is what the port adds.
#include "Rows.h"

#ifdef QUENVAR_BENCH_USB

#include <usb.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PlainSocket.h"
#include "emulator/UsbVendorPrinter.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"

namespace bench {

namespace {

constexpr unsigned int kTimeoutMs = 1000;
constexpr int kBulkOut = 0x01;
constexpr std::size_t kChunk = 64;

// A vendor-route printer plugged in while the object lives.
struct PluggedPrinter {
    explicit PluggedPrinter(const std::u16string& serial) {
        emulator::UsbPrinterOptions options;
        options.serialNumber = serial;
        printer = std::make_shared<emulator::UsbVendorPrinter>(options);
        plug = testsupport::UsbHost::Instance().plug(printer);
    }
    std::shared_ptr<emulator::UsbVendorPrinter> printer;
    std::unique_ptr<testsupport::UsbPlug> plug;
};

// What OpenPort does for "usbven:MDL:QV-U100", by hand: rescan, find the
// printer by vendor and product, open, claim, the identification request and
// its text. The handle, or null.
usb_dev_handle* open_by_hand() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor != 0x0A6F || dev->descriptor.idProduct != 0x0002 || dev->config == nullptr)
                continue;
            usb_dev_handle* handle = usb_open(dev);
            if (handle == nullptr) continue;
            usb_claim_interface(handle, 0);
            char answer[257] = {};
            if (usb_control_msg(handle, 0xC0, 0, 0, 0, answer, 256, 200) >= 0 &&
                std::strstr(answer + 2, "MDL:QV-U100") != nullptr)
                return handle;
            usb_release_interface(handle, 0);
            usb_close(handle);
        }
    }
    return nullptr;
}

void close_by_hand(usb_dev_handle* handle) {
    usb_release_interface(handle, 0);
    usb_close(handle);
}

// `total` bytes in 64-byte transfers on each side: usb_bulk_write on a handle
// opened by hand against WritePort, each timed until its printer has them all.
void bulk_write(benchmark::State& state, std::size_t total) {
    PluggedPrinter forHand(u"BENCH001");
    usb_dev_handle* handle = open_by_hand();  // while its printer is the only one
    PluggedPrinter forLibrary(u"BENCH002");
    void* port = OpenPort("usbven:;sn:BENCH002", "", kTimeoutMs);
    if (port == nullptr || handle == nullptr) {
        state.SkipWithError("cannot open the printers");
    } else {
        const std::vector<unsigned char> data(kChunk, 'A');
        std::size_t handExpected = forHand.printer->model().receivedSize();
        std::size_t libraryExpected = forLibrary.printer->model().receivedSize();
        const auto waited = [&](PluggedPrinter& printer, std::size_t& expected, double start) {
            expected += total;
            return printer.printer->model().waitReceived(expected, std::chrono::seconds(60)) ? WallSeconds() - start
                                                                                             : 0.0;
        };
        RunPaired(
            state,
            [&] {
                const double start = WallSeconds();
                for (std::size_t sent = 0; sent < total; sent += kChunk)
                    if (usb_bulk_write(handle, kBulkOut, reinterpret_cast<const char*>(data.data()), kChunk,
                                       kTimeoutMs) != static_cast<int>(kChunk))
                        return 0.0;
                return waited(forHand, handExpected, start);
            },
            [&] {
                const double start = WallSeconds();
                for (std::size_t sent = 0; sent < total;) {
                    unsigned int written = 0;
                    if (WritePort(port, data.data(), kChunk, &written) != 1 || written == 0) return 0.0;
                    sent += written;
                }
                return waited(forLibrary, libraryExpected, start);
            },
            static_cast<double>(total));
    }
    if (handle != nullptr) close_by_hand(handle);
    if (port != nullptr) ClosePort(port);
}

// OpenPort with one printer on the bus against the same calls by hand; the
// closing is not timed.
void open_port(benchmark::State& state) {
    PluggedPrinter printer(u"BENCH003");
    RunPaired(
        state,
        [&] {
            const double start = WallSeconds();
            usb_dev_handle* handle = open_by_hand();
            const double taken = WallSeconds() - start;
            if (handle == nullptr) return 0.0;
            close_by_hand(handle);
            return taken;
        },
        [&] {
            const double start = WallSeconds();
            void* port = OpenPort("usbven:MDL:QV-U100", "", kTimeoutMs);
            const double taken = WallSeconds() - start;
            if (port == nullptr) return 0.0;
            ClosePort(port);
            return taken;
        });
}

}  // namespace

std::shared_ptr<void> PlugUsbVendorPrinter(const std::string& serial) {
    return std::make_shared<PluggedPrinter>(std::u16string(serial.begin(), serial.end()));
}

void AddUsbRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t total = smoke ? 4096 : 64 * 1024;
    suite
        .add(
            "usb/bulk64", [=](benchmark::State& s) { bulk_write(s, total); }, true)
        ->Iterations(smoke ? 1 : 20);
    suite.row(PairedRateRow(
        std::string("USB vendor route: WritePort ") + (smoke ? "4 KiB" : "64 KiB") + " in 64 B calls",
        "usb_bulk_write of 64 B by hand", "usb/bulk64", Goal::AtLeast, 0.95, 1.0 / (1024 * 1024), "MiB/s"));
    suite
        .add(
            "usb/open", [](benchmark::State& s) { open_port(s); }, true)
        ->Iterations(smoke ? 2 : 100);
    suite.row(PairedTimeRow("USB vendor route: OpenPort, one printer on the bus",
                            "rescan, open, claim, identification by hand", "usb/open", Goal::AtMost, 1.2, 1e6, "us"));
}

}  // namespace bench

#else

namespace bench {

// Without the USB test rig in the build there is no printer to measure against.
void AddUsbRows(Suite&) {}

}  // namespace bench

#endif
