// Device discovery on Win32: the present device interfaces of the target's class, listed with
// the device installation functions.
#include <windows.h>

#include <setupapi.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "link/UsbPipeLink.h"
#include "link/win32/TestSeams.h"

namespace tervan {
namespace {

// {E6EF7DCD-1795-4A08-9FBF-AA78423C26F0}, kUsbInterfaceClass as a GUID.
constexpr GUID kInterfaceClass = {
    0xE6EF7DCD, 0x1795, 0x4A08, {0x9F, 0xBF, 0xAA, 0x78, 0x42, 0x3C, 0x26, 0xF0}};

constexpr os::win32::testing::SetupApi kSystemSetupApi{
    ::SetupDiGetClassDevsA,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiGetDeviceInterfaceDetailA,
    ::SetupDiDestroyDeviceInfoList,
};

std::atomic<const os::win32::testing::SetupApi*> setupApi{&kSystemSetupApi};

// The largest detail record taken from a driver. A device path is a few hundred characters at
// most (and one over 259 is left out anyway); a larger size comes from a broken driver and is
// not allocated.
constexpr DWORD kMaxDetailSize = 64 * 1024;

// The device path of one interface, or nothing when it cannot be read.
bool readInterfacePath(const os::win32::testing::SetupApi& api, HDEVINFO set,
                       SP_DEVICE_INTERFACE_DATA& interfaceData, std::string& path) {
    // The first call has no buffer and reports the size the record needs.
    DWORD required = 0;
    api.interfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > kMaxDetailSize) {
        return false;
    }
    // A DWORD-aligned buffer of that size. cbSize is the size of the fixed part of the record
    // as this build lays it out (5 on 32-bit Windows, 8 on 64-bit), never a literal. A buffer
    // that cannot be had leaves this interface out rather than ending the program.
    std::vector<DWORD> buffer;
    try {
        buffer.resize((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (api.interfaceDetail(set, &interfaceData, detail, required, nullptr, nullptr) == FALSE) {
        return false;
    }
    // The path ends at its zero or at the end of what the call was given, whichever is first.
    const std::size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    path.assign(detail->DevicePath, ::strnlen(detail->DevicePath, room));
    return !path.empty();
}

}  // namespace

namespace os::win32::testing {

void setSetupApi(const SetupApi* api) {
    setupApi = api != nullptr ? api : &kSystemSetupApi;
}

}  // namespace os::win32::testing

int enumerateUsbDevices(UsbDevicePaths& pathsOut) {
    pathsOut.clear();
    const auto& api = *setupApi.load();
    const HDEVINFO set =
        api.getClassDevs(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;  // no set, no interfaces
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (api.enumInterfaces(set, nullptr, &kInterfaceClass, index, &interfaceData) == FALSE) {
            // ERROR_NO_MORE_ITEMS after the last interface. Any other failure ends the list
            // too, with the paths found so far: asking again would fail the same way forever.
            break;
        }
        if (pathsOut.size() == kMaxUsbDevices) {
            break;  // 128 slots; further interfaces are not listed
        }
        std::string path;
        // An interface whose path cannot be read (a failed call, or a record size past any
        // device path), or whose path does not fit the device record (259 characters), is
        // left out. A path that fits but leaves no room for a
        // pipe's name (253 to 259 characters) is listed all the same: opening it fails, and
        // the user is told "Can not open device ..." rather than finding no device at all.
        if (readInterfacePath(api, set, interfaceData, path) && path.size() < kDevicePathSize) {
            pathsOut.push_back(std::move(path));
        }
    }
    api.destroyList(set);
    return static_cast<int>(pathsOut.size());
}

}  // namespace tervan
