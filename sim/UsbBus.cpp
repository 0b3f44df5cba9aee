#include "sim/UsbBus.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tervan::sim {
namespace {

std::string hexOf(const std::vector<unsigned char>& bytes) {
    std::string text;
    char pair[3];
    for (const unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// Device, configuration, interface and the two endpoint descriptors, as the kernel lists them
// in the device's "descriptors" attribute.
std::vector<unsigned char> descriptorsOf(const EmulatedUsbDevice& device) {
    const auto lo = [](unsigned v) { return static_cast<unsigned char>(v & 0xFF); };
    const auto hi = [](unsigned v) { return static_cast<unsigned char>(v >> 8); };
    return {// device: USB 2.0, vendor-specific, 64-byte control packets, one configuration
            18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, lo(device.id.vendor), hi(device.id.vendor),
            lo(device.id.product), hi(device.id.product), 0x00, 0x01, 1, 2, 3, 1,
            // configuration 1: one interface, bus-powered, 100 mA
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0: vendor-specific, two endpoints
            9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0,
            // bulk IN 0x82 and bulk OUT 0x01, 64-byte packets
            7, 5, 0x82, 2, 64, 0, 0, 7, 5, 0x01, 2, 64, 0, 0};
}

struct Urb {
    UMockdevIoctlData* data = nullptr;    // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its transfer buffer
    usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
};

void releaseUrb(Urb& urb) {
    if (urb.buffer != nullptr) {
        g_object_unref(urb.buffer);
    }
    if (urb.data != nullptr) {
        g_object_unref(urb.data);
    }
    urb = {};
}

}  // namespace

struct EmulatedUsbBus::Device {
    EmulatedUsbDevice config;
    std::string syspath;
    std::string node;
    UMockdevIoctlBase* handler = nullptr;
    int toLoader = -1;    // the loader's PIPE00, written with the bulk OUT data
    int fromLoader = -1;  // its PIPE01, read for the bulk IN transfers

    mutable std::mutex mutex;
    bool unplugged = false;
    bool driverBound = false;
    std::deque<Urb> waiting;  // IN transfers without data yet
    std::deque<Urb> done;     // transfers ready to be reaped
    int emptyReaps = 0;
    EmulatedUsbCounters counters;

    ~Device() {
        for (auto* queue : {&waiting, &done}) {
            for (Urb& urb : *queue) {
                releaseUrb(urb);
            }
        }
        if (toLoader >= 0) {
            ::close(toLoader);
        }
        if (fromLoader >= 0) {
            ::close(fromLoader);
        }
        if (handler != nullptr) {
            g_object_unref(handler);
        }
    }

    void unplugLocked() {
        unplugged = true;
        for (Urb& urb : waiting) {
            urb.urb()->status = -ESHUTDOWN;
            urb.urb()->actual_length = 0;
            done.push_back(urb);
        }
        waiting.clear();
    }

    // Fills waiting IN transfers from the loader's pipe; its end gone is the device unplugged.
    void fillWaiting() {
        while (!waiting.empty() && !unplugged) {
            Urb& urb = waiting.front();
            const ssize_t n = ::read(fromLoader, urb.buffer->data,
                                     static_cast<std::size_t>(urb.urb()->buffer_length));
            if (n > 0) {
                urb.urb()->status = 0;
                urb.urb()->actual_length = static_cast<int>(n);
                done.push_back(urb);
                waiting.pop_front();
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                unplugLocked();
            }
            return;
        }
    }

    gboolean handle(UMockdevIoctlClient* client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock<std::mutex> lock(mutex);
        const auto finish = [client](long result, int error) {
            umockdev_ioctl_client_complete(client, result, error);
            return TRUE;
        };

        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* caps =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(__u32), nullptr);
                if (caps == nullptr) {
                    return finish(-1, EFAULT);
                }
                const __u32 value =
                    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                std::memcpy(caps->data, &value, sizeof value);
                g_object_unref(caps);
                return finish(0, 0);
            }
            case USBDEVFS_CLAIMINTERFACE:
                if (unplugged) {
                    return finish(-1, ENODEV);
                }
                if (driverBound) {
                    return finish(-1, EBUSY);
                }
                ++counters.claims;
                return finish(0, 0);
            case USBDEVFS_RELEASEINTERFACE:
                ++counters.releases;
                return finish(0, 0);
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESET:
                return finish(unplugged ? -1 : 0, unplugged ? ENODEV : 0);
            case USBDEVFS_GETDRIVER: {
                UMockdevIoctlData* query =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
                if (query == nullptr) {
                    return finish(-1, EFAULT);
                }
                auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(query->data);
                const bool bound = driverBound;
                if (bound) {
                    std::snprintf(getdriver->driver, sizeof getdriver->driver, "%s",
                                  config.kernelDriver.c_str());
                }
                g_object_unref(query);
                return bound ? finish(0, 0) : finish(-1, ENODATA);
            }
            case USBDEVFS_IOCTL: {
                UMockdevIoctlData* call =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
                if (call == nullptr) {
                    return finish(-1, EFAULT);
                }
                const int code = reinterpret_cast<usbdevfs_ioctl*>(call->data)->ioctl_code;
                g_object_unref(call);
                if (code == static_cast<int>(USBDEVFS_DISCONNECT) && driverBound &&
                    config.driverHoldsOn) {
                    return finish(-1, EBUSY);
                }
                if (code == static_cast<int>(USBDEVFS_DISCONNECT) && driverBound) {
                    driverBound = false;
                    ++counters.driverDetaches;
                    return finish(0, 0);
                }
                if (code == static_cast<int>(USBDEVFS_CONNECT) && !config.kernelDriver.empty()) {
                    driverBound = true;
                    ++counters.driverAttaches;
                    return finish(0, 0);
                }
                return finish(-1, ENODATA);
            }
            case USBDEVFS_SUBMITURB: {
                if (unplugged) {
                    return finish(-1, ENODEV);
                }
                Urb urb;
                urb.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
                if (urb.data == nullptr) {
                    return finish(-1, EFAULT);
                }
                urb.buffer = umockdev_ioctl_data_resolve(
                    urb.data, offsetof(usbdevfs_urb, buffer),
                    static_cast<gsize>(urb.urb()->buffer_length), nullptr);
                if (urb.buffer == nullptr || urb.urb()->type != USBDEVFS_URB_TYPE_BULK) {
                    releaseUrb(urb);
                    return finish(-1, EINVAL);
                }
                if ((urb.urb()->endpoint & 0x80) != 0) {
                    ++counters.inTransfers;
                    waiting.push_back(urb);
                    return finish(0, 0);
                }
                ++counters.outTransfers;
                const ssize_t n = ::write(toLoader, urb.buffer->data,
                                          static_cast<std::size_t>(urb.urb()->buffer_length));
                if (n < 0 && errno != EAGAIN) {
                    releaseUrb(urb);
                    unplugLocked();
                    return finish(-1, ENODEV);
                }
                urb.urb()->status = 0;
                urb.urb()->actual_length = n > 0 ? static_cast<int>(n) : 0;
                done.push_back(urb);
                return finish(0, 0);
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                fillWaiting();
                if (done.empty()) {
                    // libusb polls the node, which always reads as ready: answering "nothing
                    // yet" a moment late keeps a waiting read from spinning the processor.
                    if (++emptyReaps > 2) {
                        lock.unlock();
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        lock.lock();
                    }
                    return finish(-1, unplugged ? ENODEV : EAGAIN);
                }
                // The argument points to the client's pointer that receives the transfer.
                UMockdevIoctlData* slot =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
                if (slot == nullptr) {
                    return finish(-1, EFAULT);
                }
                emptyReaps = 0;
                Urb urb = done.front();
                done.pop_front();
                umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
                umockdev_ioctl_client_complete(client, 0, 0);
                g_object_unref(slot);
                releaseUrb(urb);
                return TRUE;
            }
            case USBDEVFS_DISCARDURB: {
                // The argument is the client's address of the transfer to end.
                gulong address = 0;
                std::memcpy(&address, arg->data,
                            std::min<std::size_t>(sizeof address, arg->data_len));
                for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                    if (it->data->client_addr == address) {
                        it->urb()->status = -ENOENT;
                        it->urb()->actual_length = 0;
                        done.push_back(*it);
                        waiting.erase(it);
                        return finish(0, 0);
                    }
                }
                return finish(-1, EINVAL);
            }
            default:
                return finish(-1, ENOTTY);
        }
    }
};

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device) {
    return static_cast<EmulatedUsbBus::Device*>(device)->handle(client);
}

}  // namespace

struct EmulatedUsbBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<Device>> devices;
};

EmulatedUsbBus::EmulatedUsbBus() : impl_(std::make_unique<Impl>()) {
    ::signal(SIGPIPE, SIG_IGN);
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        reason_ = "umockdev's preload library is not loaded (LD_PRELOAD)";
        return;
    }
    impl_->testbed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        reason_ = "umockdev reports no mock environment";
        return;
    }
    active_ = true;
}

EmulatedUsbBus::~EmulatedUsbBus() {
    // The handlers go before the devices they point to.
    if (impl_->testbed != nullptr) {
        for (const auto& device : impl_->devices) {
            umockdev_testbed_detach_ioctl(impl_->testbed, device->node.c_str(), nullptr);
        }
        g_object_unref(impl_->testbed);
    }
    impl_->devices.clear();
}

int EmulatedUsbBus::add(const EmulatedUsbDevice& config) {
    auto device = std::make_unique<Device>();
    device->config = config;
    device->driverBound = !config.kernelDriver.empty();
    const int devnum = config.port + 1;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    device->node = node;
    const std::string name = "1-" + std::to_string(config.port);
    const std::string text = "P: /devices/pci0000:00/0000:00:14.0/usb1/" + name + "\n" +
                             "N: " + (device->node.c_str() + 5) + "\n" +  // below /dev
                             "E: DEVNAME=" + device->node + "\n" +
                             "E: DEVTYPE=usb_device\n"
                             "E: SUBSYSTEM=usb\n"
                             "E: BUSNUM=001\n"
                             "E: DEVNUM=" +
                             std::string(node + std::strlen(node) - 3) + "\n" +
                             "A: busnum=1\n"
                             "A: devnum=" +
                             std::to_string(devnum) + "\n" +
                             "A: bConfigurationValue=1\n"
                             "A: speed=12\n"
                             "A: manufacturer=" +
                             config.manufacturer + "\n" + "A: product=" + config.product + "\n" +
                             "A: serial=" + config.serial + "\n" +
                             "H: descriptors=" + hexOf(descriptorsOf(config)) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, text.c_str(), &error)) {
        reason_ = error != nullptr ? error->message : "cannot add the device";
        g_clear_error(&error);
        return -1;
    }
    device->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + name;
    if (!config.kernelDriver.empty()) {
        // The interface with the driver bound to it, as the kernel lists it.
        const std::string interface = "P: /devices/pci0000:00/0000:00:14.0/usb1/" + name + "/" +
                                      name + ":1.0\n" +
                                      "E: DEVTYPE=usb_interface\n"
                                      "E: SUBSYSTEM=usb\n"
                                      "E: DRIVER=" +
                                      config.kernelDriver + "\n" +
                                      "A: bInterfaceNumber=00\n"
                                      "L: driver=../../../../../../bus/usb/drivers/" +
                                      config.kernelDriver + "\n";
        if (!umockdev_testbed_add_from_string(impl_->testbed, interface.c_str(), &error)) {
            reason_ = error != nullptr ? error->message : "cannot add the interface";
            g_clear_error(&error);
            return -1;
        }
    }
    if (!config.pipeFolder.empty()) {
        device->toLoader =
            ::open((config.pipeFolder + "/PIPE00").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        device->fromLoader =
            ::open((config.pipeFolder + "/PIPE01").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    device->handler = umockdev_ioctl_base_new();
    g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(onIoctl), device.get());
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, device->node.c_str(), device->handler,
                                       &error)) {
        reason_ = error != nullptr ? error->message : "cannot attach the ioctl handler";
        g_clear_error(&error);
        return -1;
    }
    impl_->devices.push_back(std::move(device));
    return static_cast<int>(impl_->devices.size()) - 1;
}

void EmulatedUsbBus::unplug(int index) {
    Device& device = *impl_->devices.at(static_cast<std::size_t>(index));
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        device.unplugLocked();
    }
    umockdev_testbed_remove_device(impl_->testbed, device.syspath.c_str());
}

EmulatedUsbCounters EmulatedUsbBus::counters(int index) const {
    const Device& device = *impl_->devices.at(static_cast<std::size_t>(index));
    std::lock_guard<std::mutex> lock(device.mutex);
    return device.counters;
}

std::string EmulatedUsbBus::busPath(int index) const {
    return "1-" + std::to_string(impl_->devices.at(static_cast<std::size_t>(index))->config.port);
}

}  // namespace tervan::sim
