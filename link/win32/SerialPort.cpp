// The serial port on Win32: CreateFileA on "\\.\COMn", the line in a DCB, the time-outs in
// COMMTIMEOUTS, synchronous ReadFile and WriteFile.
#include "link/SerialPort.h"

#include <windows.h>

#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

#include "link/ComName.h"
#include "link/win32/SerialLine.h"
#include "link/win32/TestSeams.h"
#include "link/win32/Win32Handle.h"

namespace tervan::os {
namespace {

using win32::handleOf;
using win32::platformHandleOf;

// A read of n bytes ends when all n have arrived or after 1000 + n ms with what came; a write
// ends after 1000 ms with what was sent.
constexpr COMMTIMEOUTS kTimeouts{
    0,     // ReadIntervalTimeout: no limit between bytes
    1,     // ReadTotalTimeoutMultiplier
    1000,  // ReadTotalTimeoutConstant
    0,     // WriteTotalTimeoutMultiplier
    1000,  // WriteTotalTimeoutConstant
};

constexpr DWORD kPurgeInput = PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR;

std::mutex hookMutex;
win32::testing::SerialOpenHook openHook;

DWORD hookedOpenError(const char* path) {
    win32::testing::SerialOpenHook hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = openHook;
    }
    return hook ? hook(path) : 0;
}

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the device setup class of serial and parallel ports.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// One value of a device's "Device Parameters" key: a text (REG_SZ) or a number (REG_DWORD).
bool deviceParameter(HKEY key, const char* name, std::string* text, DWORD* number) {
    char buffer[256] = {};
    DWORD size = sizeof buffer - 1;  // the last byte stays the zero that ends a text
    DWORD type = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    if (text != nullptr && type == REG_SZ) {
        *text = buffer;
        return true;
    }
    if (number != nullptr && type == REG_DWORD && size == sizeof(DWORD)) {
        std::memcpy(number, buffer, sizeof(DWORD));
        return true;
    }
    return false;
}

}  // namespace

namespace win32 {

DWORD dcbFlagWord(const DCB& dcb) {
    DWORD flags = 0;
    flags |= static_cast<DWORD>(dcb.fBinary) << 0;
    flags |= static_cast<DWORD>(dcb.fParity) << 1;
    flags |= static_cast<DWORD>(dcb.fOutxCtsFlow) << 2;
    flags |= static_cast<DWORD>(dcb.fOutxDsrFlow) << 3;
    flags |= static_cast<DWORD>(dcb.fDtrControl) << 4;
    flags |= static_cast<DWORD>(dcb.fDsrSensitivity) << 6;
    flags |= static_cast<DWORD>(dcb.fTXContinueOnXoff) << 7;
    flags |= static_cast<DWORD>(dcb.fOutX) << 8;
    flags |= static_cast<DWORD>(dcb.fInX) << 9;
    flags |= static_cast<DWORD>(dcb.fErrorChar) << 10;
    flags |= static_cast<DWORD>(dcb.fNull) << 11;
    flags |= static_cast<DWORD>(dcb.fRtsControl) << 12;
    flags |= static_cast<DWORD>(dcb.fAbortOnError) << 14;
    flags |= static_cast<DWORD>(dcb.fDummy2) << 15;
    return flags;
}

void setDcbFlagWord(DCB& dcb, DWORD flags) {
    dcb.fBinary = (flags >> 0) & 1;
    dcb.fParity = (flags >> 1) & 1;
    dcb.fOutxCtsFlow = (flags >> 2) & 1;
    dcb.fOutxDsrFlow = (flags >> 3) & 1;
    dcb.fDtrControl = (flags >> 4) & 3;
    dcb.fDsrSensitivity = (flags >> 6) & 1;
    dcb.fTXContinueOnXoff = (flags >> 7) & 1;
    dcb.fOutX = (flags >> 8) & 1;
    dcb.fInX = (flags >> 9) & 1;
    dcb.fErrorChar = (flags >> 10) & 1;
    dcb.fNull = (flags >> 11) & 1;
    dcb.fRtsControl = (flags >> 12) & 3;
    dcb.fAbortOnError = (flags >> 14) & 1;
    dcb.fDummy2 = (flags >> 15) & 0x1FFFF;
}

SerialLineSettings lineSettingsOf(const DCB& dcb) {
    SerialLineSettings settings;
    settings.baudRate = dcb.BaudRate;
    settings.byteSize = dcb.ByteSize;
    settings.parity = dcb.Parity;
    settings.stopBits = dcb.StopBits;
    settings.ctsFlow = dcb.fOutxCtsFlow != 0;
    settings.dsrFlow = dcb.fOutxDsrFlow != 0;
    settings.dtrOn = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    settings.rtsOn = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    settings.outX = dcb.fOutX != 0;
    settings.inX = dcb.fInX != 0;
    return settings;
}

void applyLineSettings(DCB& dcb, const SerialLineSettings& settings) {
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    // A line that stays on keeps the mode the port reported (on, or handshake); a line that
    // goes off is DISABLE, which is 0: with every flag false this is the AND with 0xFFFFCCC3.
    const auto lineMode = [](bool on, DWORD reported, DWORD enable) -> DWORD {
        if (!on) {
            return 0;
        }
        return reported != 0 ? reported : enable;
    };
    dcb.fOutxCtsFlow = settings.ctsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = settings.dsrFlow ? 1 : 0;
    dcb.fDtrControl = lineMode(settings.dtrOn, dcb.fDtrControl, DTR_CONTROL_ENABLE);
    dcb.fOutX = settings.outX ? 1 : 0;
    dcb.fInX = settings.inX ? 1 : 0;
    dcb.fRtsControl = lineMode(settings.rtsOn, dcb.fRtsControl, RTS_CONTROL_ENABLE);
}

namespace testing {

void setSerialOpenHook(SerialOpenHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex);
    openHook = std::move(hook);
}

}  // namespace testing
}  // namespace win32

std::string resolveSerialPath(const char* path) {
    // Windows opens "\\.\COMn" itself; every other path names a device as it stands.
    return path != nullptr ? std::string(path) : std::string();
}

int serialPortCheck(const char* path) {
    // Windows tells what a name is only once it is open: serialOpen looks there.
    return path == nullptr || *path == '\0' ? kErrorNotFound : 0;
}

PlatformHandle serialOpen(const char* path, int* error) {
    int localError = 0;
    int& result = error != nullptr ? *error : localError;
    result = 0;
    if (path == nullptr || *path == '\0') {
        result = kErrorNotFound;
        return kInvalidHandle;
    }
    if (const DWORD refused = hookedOpenError(path); refused != 0) {
        result = static_cast<int>(refused);
        return kInvalidHandle;
    }
    // Share mode 0: no other opener, this program's own probe included, while the port is held.
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result = win32::lastErrorOr(ERROR_GEN_FAILURE);
        return kInvalidHandle;
    }
    // A file on a disk named as a port is never written: nothing has reached it yet.
    if (::GetFileType(handle) == FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        result = kErrorNotAPort;
        return kInvalidHandle;
    }
    return platformHandleOf(handle);
}

std::string serialPortIdentity(const char* path) {
    // "\\.\COM3", "com3" and "COM3" are one port; the system's device object ("\Device\Serial2")
    // joins two names the system gave one port.
    std::string name = path != nullptr ? path : "";
    if (name.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0) {
        name.erase(0, kDevicePrefix.size());
    }
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    char target[512] = {};
    if (!name.empty() && name.find('\\') == std::string::npos &&
        ::QueryDosDeviceA(name.c_str(), target, sizeof target - 1) != 0) {
        return target;
    }
    return name;
}

SavedLine serialSaveLine(PlatformHandle handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(handleOf(handle), &dcb) == FALSE) {
        return {};
    }
    SavedLine saved(sizeof dcb);
    std::memcpy(saved.data(), &dcb, sizeof dcb);
    return saved;
}

void serialRestoreLine(PlatformHandle handle, const SavedLine& saved) {
    if (saved.size() != sizeof(DCB)) {
        return;
    }
    DCB dcb{};
    std::memcpy(&dcb, saved.data(), sizeof dcb);
    ::SetCommState(handleOf(handle), &dcb);
}

AdapterLatency adapterLatencyOf(const char* path) {
    // The FTDI driver keeps its latency timer as "LatencyTimer" among the parameters of the
    // device that provides the COM port.
    AdapterLatency latency;
    const std::string_view name = path != nullptr ? std::string_view(path) : std::string_view();
    const std::string_view port = name.substr(0, kDevicePrefix.size()) == kDevicePrefix
                                      ? name.substr(kDevicePrefix.size())
                                      : name;
    const HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (port.empty() || set == INVALID_HANDLE_VALUE) {
        return latency;
    }
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &info) != FALSE; ++index) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        std::string portName;
        DWORD timer = 0;
        if (deviceParameter(key, "PortName", &portName, nullptr) &&
            equalsIgnoringCase(portName, port) &&
            deviceParameter(key, "LatencyTimer", nullptr, &timer)) {
            latency.timerMs = static_cast<int>(timer);
            char instance[512] = {};
            ::SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance - 1, nullptr);
            latency.setting = std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\") + instance +
                              "\\Device Parameters\\LatencyTimer";
        }
        ::RegCloseKey(key);
        if (latency.timerMs >= 0) {
            break;
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return latency;
}

AdapterLatency serialLowerLatency(PlatformHandle, const char* path) {
    // The driver reads its timer when the device starts: the tool can only tell it.
    return adapterLatencyOf(path);
}

void serialRestoreLatency(PlatformHandle, const AdapterLatency&) {}

void serialClose(PlatformHandle handle) {
    if (handle != kInvalidHandle) {
        ::CloseHandle(handleOf(handle));
    }
}

bool serialSetTimeouts(PlatformHandle handle) {
    COMMTIMEOUTS timeouts = kTimeouts;
    return ::SetCommTimeouts(handleOf(handle), &timeouts) != FALSE;
}

bool serialGetLine(PlatformHandle handle, SerialLineSettings* settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (settings == nullptr || ::GetCommState(handleOf(handle), &dcb) == FALSE) {
        return false;
    }
    *settings = win32::lineSettingsOf(dcb);
    return true;
}

bool serialSetLine(PlatformHandle handle, const SerialLineSettings& settings) {
    // The port's own record is the starting point, so that every field the portable settings
    // do not name is written back as the port reported it.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (::GetCommState(handleOf(handle), &dcb) == FALSE) {
        return false;
    }
    win32::applyLineSettings(dcb, settings);
    return ::SetCommState(handleOf(handle), &dcb) != FALSE;
}

bool serialSetupQueues(PlatformHandle handle, std::uint32_t inSize, std::uint32_t outSize) {
    return ::SetupComm(handleOf(handle), inSize, outSize) != FALSE;
}

bool serialPurge(PlatformHandle handle) {
    // Output is discarded only while some still waits to be sent, as on POSIX. A finished
    // write has handed its bytes to the line; where the port is a pseudo-terminal (a COM port
    // Wine makes of one, the virtual target's) clearing the output empties the peer's input
    // instead, and takes back a handshake reply the target has not read yet.
    DWORD errors = 0;
    COMSTAT status{};
    const bool waiting =
        ::ClearCommError(handleOf(handle), &errors, &status) == FALSE || status.cbOutQue != 0;
    return ::PurgeComm(handleOf(handle), kPurgeInput | (waiting ? PURGE_TXCLEAR : 0)) != FALSE;
}

void serialClearErrors(PlatformHandle handle) {
    DWORD errors = 0;
    COMSTAT status{};
    ::ClearCommError(handleOf(handle), &errors, &status);
}

// The port keeps its own time-outs (COMMTIMEOUTS above): the clock is not asked.
LinkResult serialRead(PlatformHandle handle, void* buffer, std::uint32_t length, Clock&) {
    return win32::readCounted(handle, buffer, length);
}

LinkResult serialReadSome(PlatformHandle handle, void* buffer, std::uint32_t length,
                          Clock::Duration wait, Clock&) {
    // MAXDWORD, MAXDWORD and a total: ReadFile returns at once with what is there, otherwise
    // with the first bytes to come, or empty after the total.
    COMMTIMEOUTS some = kTimeouts;
    some.ReadIntervalTimeout = MAXDWORD;
    some.ReadTotalTimeoutMultiplier = MAXDWORD;
    const auto ms = wait.count();
    some.ReadTotalTimeoutConstant =
        static_cast<DWORD>(ms < 1 ? 1 : (ms > 0x7FFFFFFE ? 0x7FFFFFFE : ms));
    if (::SetCommTimeouts(handleOf(handle), &some) == FALSE) {
        return {0, win32::lastErrorOr(ERROR_READ_FAULT)};
    }
    const LinkResult result = win32::readCounted(handle, buffer, length);
    COMMTIMEOUTS fixed = kTimeouts;
    ::SetCommTimeouts(handleOf(handle), &fixed);
    return result;
}

LinkResult serialWrite(PlatformHandle handle, const void* buffer, std::uint32_t length, Clock&) {
    return win32::writeCounted(handle, buffer, length);
}

}  // namespace tervan::os
