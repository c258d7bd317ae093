// A USB host for the unchanged USB library (libusb 0.1) inside the test
// process. The library finds devices by walking the directory named by
// USB_DEVFS_PATH (one directory per bus, one file per device), reads each
// device's descriptors from its file and sends everything else as usbfs
// ioctls on it. Here that directory is a scratch directory of real files, and
// the device files are FakeDevices: their reads and ioctls are served as the
// kernel would, by the emulator::UsbFunction plugged in (control transfers,
// bulk URBs submitted, reaped and discarded, interfaces claimed and released,
// configuration and alternate setting set, a kernel driver detached).
//
//   auto plug = testsupport::UsbHost::Instance().plug(printer);  // plugged in
//   plug->unplug();  plug->replug();                              // between calls
//   plug->log().names();  // "claim", "control", "bulk-out", ... in order
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "emulator/UsbFunction.h"
#include "tests/support/FakeDevice.h"

namespace testsupport {

class FakeUsbDevice;

// How a device is plugged in.
struct UsbPlugOptions {
    unsigned bus = 1;  // 1 to 999
    // Its file is readable only, as /dev/bus/usb files are to users without
    // the udev rule: the host may open it to read the descriptors, but every
    // request on it fails with EPERM (and opening it to write with EACCES).
    bool readOnly = false;
    // Kernel drivers take the interfaces the device asks for when plugged in.
    bool kernelDrivers = true;
};

// One device on one bus. Unplugs the device when destroyed.
class UsbPlug {
public:
    ~UsbPlug();
    UsbPlug(const UsbPlug&) = delete;
    UsbPlug& operator=(const UsbPlug&) = delete;

    // Pulls the device out: its file goes away, every request on a file the
    // host still has open fails with ENODEV.
    void unplug();
    // Plugs it in again. Like the kernel, the bus gives it a new device
    // number, so its file has a new name; kernel drivers bind afresh.
    void replug();
    bool plugged() const;
    // "<root>/<bus>/<device>", the file the USB library opens.
    std::string path() const;
    // Every request the host made on this device's files, across replugs:
    //   open, close, connectinfo, getdriver (interface), claim (interface), release (interface),
    //   setconfig (value), setintf (interface << 8 | alternate setting),
    //   disconnect (interface, the kernel driver detach), control (SetupValue;
    //   data: the OUT data stage, or what an IN request got), bulk-out and
    //   bulk-in (URB length << 8 | endpoint; data sent or received), discard.
    CallLog& log() const;

    // Packs a control request's setup as its "control" log entry carries it.
    static uint64_t SetupValue(const emulator::UsbSetup& setup);
    static emulator::UsbSetup SetupOf(const CallLog::Entry& entry);

private:
    friend class UsbHost;
    UsbPlug(std::shared_ptr<emulator::UsbFunction> function, const UsbPlugOptions& options);

    mutable std::mutex mutex_;
    std::shared_ptr<emulator::UsbFunction> function_;
    UsbPlugOptions options_;
    std::shared_ptr<FakeUsbDevice> device_;  // null while unplugged
    std::unique_ptr<DeviceRegistration> registration_;
    std::string path_;
    std::shared_ptr<CallLog> log_ = std::make_shared<CallLog>();
};

// The process's USB host: the scratch directory, named by USB_DEVFS_PATH from
// the first use on. Set up before threads that use the USB library start.
class UsbHost {
public:
    static UsbHost& Instance();
    // Plugs `function` into bus `bus` (1 to 999).
    std::unique_ptr<UsbPlug> plug(std::shared_ptr<emulator::UsbFunction> function, unsigned bus = 1);
    std::unique_ptr<UsbPlug> plug(std::shared_ptr<emulator::UsbFunction> function, const UsbPlugOptions& options);
    const std::string& root() const { return root_; }

private:
    friend class UsbPlug;
    UsbHost();
    ~UsbHost();
    // The next free device number on `bus` and the path of its file, taken
    // until releaseDevicePath.
    std::string nextDevicePath(unsigned bus);
    void releaseDevicePath(const std::string& path);

    std::mutex mutex_;
    std::string root_;
    unsigned nextDevice_[1000] = {};
    std::set<std::string> inUse_;  // device files of devices plugged in
};

}  // namespace testsupport
