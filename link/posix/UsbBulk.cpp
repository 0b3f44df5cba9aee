// Devices on the USB bus itself, through libusb: the candidates for the target and the bulk
// endpoints of the one in use. The names and the driver bound to an interface come from the
// kernel's device tree (/sys), which needs no open of the device.
#include "link/UsbBulk.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

#include "link/SystemPaths.h"

namespace tervan::os {
namespace {

constexpr unsigned kReadTimeoutMs = 1000;   // as long as a pipe read waits
constexpr unsigned kWriteTimeoutMs = 1000;  // as long as a pipe write waits without progress
constexpr unsigned kDiscardTimeoutMs = 1;
constexpr std::uint8_t kVendorSpecificClass = 0xFF;

// A libusb context of its own for each listing and each open device: the devices present are
// read afresh every time, and a board written in one thread shares nothing with another.
struct Context {
    Context() {
        if (libusb_init(&usb) != 0) {
            usb = nullptr;
        }
    }
    ~Context() {
        if (usb != nullptr) {
            libusb_exit(usb);
        }
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    libusb_context* usb = nullptr;
};

int systemErrorOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_ERROR_ACCESS:
            return EACCES;
        case LIBUSB_ERROR_NO_DEVICE:
            return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return ENOENT;
        case LIBUSB_ERROR_BUSY:
            return EBUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return ETIMEDOUT;
        case LIBUSB_ERROR_PIPE:
            return EPIPE;
        case LIBUSB_ERROR_OVERFLOW:
            return EOVERFLOW;
        case LIBUSB_ERROR_INTERRUPTED:
            return EINTR;
        case LIBUSB_ERROR_NO_MEM:
            return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return ENOTSUP;
        case LIBUSB_ERROR_INVALID_PARAM:
            return EINVAL;
        default:
            return EIO;
    }
}

std::string busPathOf(libusb_device* device) {
    std::uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string path = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < count; ++i) {
        path += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    }
    return path;
}

std::string readAttribute(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string linkName(const std::string& file) {
    char target[512];
    const ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    const std::string text(target, static_cast<std::size_t>(n));
    const auto slash = text.find_last_of('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

struct Endpoints {
    int interfaceNumber = 0;
    int configuration = 1;
    std::uint8_t in = 0;
    std::uint8_t out = 0;
    std::uint16_t inPacket = 64;
};

// The first vendor-specific interface with exactly one bulk endpoint each way.
std::optional<Endpoints> candidateInterface(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0) {
        return std::nullopt;
    }
    std::optional<Endpoints> found;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        if (setting.bInterfaceClass != kVendorSpecificClass) {
            continue;
        }
        Endpoints endpoints;
        endpoints.interfaceNumber = setting.bInterfaceNumber;
        endpoints.configuration = config->bConfigurationValue;
        int ins = 0;
        int outs = 0;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
                ++ins;
                endpoints.in = endpoint.bEndpointAddress;
                endpoints.inPacket = std::max<std::uint16_t>(endpoint.wMaxPacketSize, 1);
            } else {
                ++outs;
                endpoints.out = endpoint.bEndpointAddress;
            }
        }
        if (ins == 1 && outs == 1) {
            found = endpoints;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

UsbBulkDevice describe(libusb_device* device, const libusb_device_descriptor& descriptor,
                       const Endpoints& endpoints) {
    UsbBulkDevice listed;
    listed.id = {descriptor.idVendor, descriptor.idProduct};
    listed.busPath = busPathOf(device);
    const std::string sysfs = systemRoot() + "/sys/bus/usb/devices/" + listed.busPath;
    listed.manufacturer = readAttribute(sysfs + "/manufacturer");
    listed.product = readAttribute(sysfs + "/product");
    listed.serial = readAttribute(sysfs + "/serial");
    listed.kernelDriver = linkName(sysfs + ":" + std::to_string(endpoints.configuration) + "." +
                                   std::to_string(endpoints.interfaceNumber) + "/driver");
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u",
                  static_cast<unsigned>(libusb_get_bus_number(device)),
                  static_cast<unsigned>(libusb_get_device_address(device)));
    listed.node = node;
    listed.accessError = ::access(node, R_OK | W_OK) == 0 ? 0 : errno;
    listed.interfaceNumber = endpoints.interfaceNumber;
    listed.inEndpoint = endpoints.in;
    listed.outEndpoint = endpoints.out;
    return listed;
}

bool matches(const UsbBulkDevice& device, const UsbTarget* target) {
    return target == nullptr ||
           (device.id == target->id && (target->serial.empty() || device.serial == target->serial));
}

class LibusbChannel final : public UsbBulkChannel {
public:
    LibusbChannel(std::unique_ptr<Context> context, libusb_device_handle* handle,
                  const Endpoints& endpoints, bool driverDetached)
        : context_(std::move(context)),
          handle_(handle),
          endpoints_(endpoints),
          driverDetached_(driverDetached) {}

    ~LibusbChannel() override {
        libusb_release_interface(handle_, endpoints_.interfaceNumber);
        if (driverDetached_) {
            libusb_attach_kernel_driver(handle_, endpoints_.interfaceNumber);
        }
        libusb_close(handle_);
    }

    LinkResult read(void* buffer, std::uint32_t length) override {
        auto* bytes = static_cast<unsigned char*>(buffer);
        if (pending_.empty()) {
            if (const int error = fetch(kReadTimeoutMs); error != 0) {
                return {0, error};
            }
        }
        const auto count =
            static_cast<std::uint32_t>(std::min<std::size_t>(length, pending_.size()));
        std::copy_n(pending_.begin(), count, bytes);
        pending_.erase(pending_.begin(), pending_.begin() + count);
        return {count, 0};
    }

    LinkResult write(const void* buffer, std::uint32_t length) override {
        int moved = 0;
        const int result = libusb_bulk_transfer(
            handle_, endpoints_.out, static_cast<unsigned char*>(const_cast<void*>(buffer)),
            static_cast<int>(length), &moved, kWriteTimeoutMs);
        const auto count = static_cast<std::uint32_t>(std::max(moved, 0));
        // A device that stopped taking data ends the write with what it took, as a pipe does.
        if (result == 0 || result == LIBUSB_ERROR_TIMEOUT) {
            return {count, 0};
        }
        return {count, systemErrorOf(result)};
    }

    void discard() override {
        pending_.clear();
        // Whatever the device has ready comes at once; a few transfers take it all.
        for (int i = 0; i < 4 && fetch(kDiscardTimeoutMs) == 0; ++i) {
            pending_.clear();
        }
        pending_.clear();
    }

    std::uint8_t inEndpoint() const override { return endpoints_.in; }
    std::uint8_t outEndpoint() const override { return endpoints_.out; }

private:
    // One bulk IN transfer into pending_; 0, kErrorTimedOut, or the system's code.
    int fetch(unsigned timeoutMs) {
        // Whole packets, so that a device sending more than asked for never overflows.
        std::vector<unsigned char> packet(std::max<std::size_t>(512, endpoints_.inPacket));
        int got = 0;
        const int result = libusb_bulk_transfer(handle_, endpoints_.in, packet.data(),
                                                static_cast<int>(packet.size()), &got, timeoutMs);
        if (got > 0) {
            pending_.insert(pending_.end(), packet.begin(), packet.begin() + got);
        }
        if (result == 0) {
            return got > 0 ? 0 : kErrorTimedOut;
        }
        if (result == LIBUSB_ERROR_TIMEOUT) {
            return got > 0 ? 0 : kErrorTimedOut;
        }
        return systemErrorOf(result);
    }

    std::unique_ptr<Context> context_;  // outlives the handle: declared first
    libusb_device_handle* handle_;
    Endpoints endpoints_;
    bool driverDetached_;
    std::vector<unsigned char> pending_;
};

}  // namespace

bool usbBusListed() {
    return true;
}

std::vector<UsbBulkDevice> listUsbBulkDevices() {
    std::vector<UsbBulkDevice> found;
    const Context context;
    libusb_context* usb = context.usb;
    if (usb == nullptr) {
        return found;
    }
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &devices);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) {
            continue;
        }
        if (const auto endpoints = candidateInterface(devices[i])) {
            found.push_back(describe(devices[i], descriptor, *endpoints));
        }
    }
    if (count >= 0) {
        libusb_free_device_list(devices, 1);
    }
    std::sort(found.begin(), found.end(),
              [](const UsbBulkDevice& a, const UsbBulkDevice& b) { return a.busPath < b.busPath; });
    return found;
}

std::unique_ptr<UsbBulkChannel> openUsbBulk(const std::string& busPath, const UsbTarget* target,
                                            int* error) {
    int localError = 0;
    int& result = error != nullptr ? *error : localError;
    result = ENOENT;
    auto context = std::make_unique<Context>();
    libusb_context* usb = context->usb;
    if (usb == nullptr) {
        result = ENODEV;
        return nullptr;
    }
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &devices);
    libusb_device* chosen = nullptr;
    Endpoints endpoints;
    for (ssize_t i = 0; i < count && chosen == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (busPathOf(devices[i]) != busPath ||
            libusb_get_device_descriptor(devices[i], &descriptor) != 0) {
            continue;
        }
        const auto found = candidateInterface(devices[i]);
        if (found && matches(describe(devices[i], descriptor, *found), target)) {
            chosen = libusb_ref_device(devices[i]);
            endpoints = *found;
        }
    }
    if (count >= 0) {
        libusb_free_device_list(devices, 1);
    }
    if (chosen == nullptr) {
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(chosen, &handle);
    libusb_unref_device(chosen);
    if (opened != 0) {
        result = systemErrorOf(opened);
        return nullptr;
    }
    // A kernel driver that took the interface is set aside for as long as the link holds it,
    // and given back on close; one that is not bound is left alone.
    bool detached = false;
    if (libusb_kernel_driver_active(handle, endpoints.interfaceNumber) == 1) {
        if (const int detach = libusb_detach_kernel_driver(handle, endpoints.interfaceNumber);
            detach != 0) {
            // A driver that does not let go keeps the interface busy.
            result = detach == LIBUSB_ERROR_NO_DEVICE ? ENODEV : EBUSY;
            libusb_close(handle);
            return nullptr;
        }
        detached = true;
    }
    if (const int claimed = libusb_claim_interface(handle, endpoints.interfaceNumber);
        claimed != 0) {
        result = systemErrorOf(claimed);
        if (detached) {
            libusb_attach_kernel_driver(handle, endpoints.interfaceNumber);
        }
        libusb_close(handle);
        return nullptr;
    }
    result = 0;
    return std::make_unique<LibusbChannel>(std::move(context), handle, endpoints, detached);
}

}  // namespace tervan::os
