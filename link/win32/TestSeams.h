// Seams for tests of the Win32 platform layer: what Wine cannot reproduce is put in here.
// Nothing outside tests installs them; with none installed the layer calls the system.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <functional>
#include <string>

namespace tervan::os::win32::testing {

// Called with the device path before every serial open (the link's open and its probe). A
// non-zero result is reported as the open's error and the device is not touched. Windows
// refuses a second opener of a held COM port with ERROR_ACCESS_DENIED; Wine lets it share.
using SerialOpenHook = std::function<DWORD(const std::string& path)>;
void setSerialOpenHook(SerialOpenHook hook);  // an empty hook removes it

// The device installation calls behind enumerateUsbDevices. Real USB interfaces of the
// target's class cannot be made under Wine; tests hand in their own set.
struct SetupApi {
    HDEVINFO(WINAPI* getClassDevs)(const GUID*, PCSTR, HWND, DWORD);
    BOOL(WINAPI* enumInterfaces)
    (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI* interfaceDetail)
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
     PSP_DEVINFO_DATA);
    BOOL(WINAPI* destroyList)(HDEVINFO);
};
void setSetupApi(const SetupApi* api);  // nullptr restores the system's calls

}  // namespace tervan::os::win32::testing
