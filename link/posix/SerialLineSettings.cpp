// A serial port's line settings on POSIX: termios speed, framing, flow control and the modem
// lines.
#include <sys/ioctl.h>
#include <termios.h>

#include <cstdint>

#include "link/SerialPort.h"
#include "link/posix/PosixIo.h"

namespace tervan::os {
namespace {

using posix::descriptorOf;

struct RateEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr RateEntry kRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool speedCodeOf(std::uint32_t rate, speed_t* code) {
    for (const auto& entry : kRates) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

std::uint32_t rateOf(speed_t code) {
    for (const auto& entry : kRates) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

// Raises or lowers one modem line. A device without modem lines (a pseudo-terminal) refuses;
// that is no error for the line settings.
void setModemLine(int fd, int line, bool on) {
    int bits = line;
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

bool serialGetLine(PlatformHandle handle, SerialLineSettings* settings) {
    const int fd = descriptorOf(handle);
    termios line{};
    if (settings == nullptr || ::tcgetattr(fd, &line) != 0) {
        return false;
    }
    settings->baudRate = rateOf(::cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
        case CS5:
            settings->byteSize = 5;
            break;
        case CS6:
            settings->byteSize = 6;
            break;
        case CS7:
            settings->byteSize = 7;
            break;
        default:
            settings->byteSize = 8;
            break;
    }
    if ((line.c_cflag & PARENB) == 0) {
        settings->parity = 0;
    } else {
#ifdef CMSPAR
        if ((line.c_cflag & CMSPAR) != 0) {
            settings->parity = (line.c_cflag & PARODD) != 0 ? 3 : 4;  // mark, space
        } else
#endif
        {
            settings->parity = (line.c_cflag & PARODD) != 0 ? 1 : 2;  // odd, even
        }
    }
    settings->stopBits = (line.c_cflag & CSTOPB) != 0 ? 2 : 0;
    settings->ctsFlow = (line.c_cflag & CRTSCTS) != 0;
    settings->dsrFlow = false;  // termios has no DSR handshake
    settings->outX = (line.c_iflag & IXON) != 0;
    settings->inX = (line.c_iflag & IXOFF) != 0;
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0) {
        settings->dtrOn = (lines & TIOCM_DTR) != 0;
        settings->rtsOn = (lines & TIOCM_RTS) != 0;
    } else {
        settings->dtrOn = false;  // no modem lines (a pseudo-terminal)
        settings->rtsOn = false;
    }
    return true;
}

bool serialSetLine(PlatformHandle handle, const SerialLineSettings& settings) {
    const int fd = descriptorOf(handle);
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        return false;
    }
    ::cfmakeraw(&line);

    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    line.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (settings.byteSize) {
        case 5:
            line.c_cflag |= CS5;
            break;
        case 6:
            line.c_cflag |= CS6;
            break;
        case 7:
            line.c_cflag |= CS7;
            break;
        default:
            line.c_cflag |= CS8;
            break;
    }
    switch (settings.parity) {
        case 1:
            line.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            line.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case 3:
            line.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            line.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            break;
    }
    if (settings.stopBits != 0) {
        line.c_cflag |= CSTOPB;  // 1.5 and 2 stop bits both become two
    }
    if (settings.ctsFlow) {
        line.c_cflag |= CRTSCTS;
    }
    line.c_cflag |= CLOCAL | CREAD;

    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (settings.outX) {
        line.c_iflag |= IXON;
    }
    if (settings.inX) {
        line.c_iflag |= IXOFF;
    }
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;

    speed_t code = 0;
    if (speedCodeOf(settings.baudRate, &code)) {
        ::cfsetispeed(&line, code);
        ::cfsetospeed(&line, code);
    }  // a rate termios cannot express leaves the speed as it was

    const bool applied = ::tcsetattr(fd, TCSANOW, &line) == 0;
    setModemLine(fd, TIOCM_DTR, settings.dtrOn);
    setModemLine(fd, TIOCM_RTS, settings.rtsOn);
    return applied;
}

}  // namespace tervan::os
