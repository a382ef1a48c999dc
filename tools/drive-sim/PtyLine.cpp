#include "PtyLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace drivesim {

namespace {

speed_t speedFor(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

} // namespace

int baudOf(unsigned speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

PtyLine::~PtyLine()
{
    if (slaveFd >= 0)
        ::close(slaveFd);
    // The master end belongs to the simulator's port list, which closes it.
    if (!link.empty())
        ::unlink(link.c_str());
}

bool PtyLine::open(const std::string& path, int baud, int flashBaud, std::string& error)
{
    if (speedFor(baud) == B0 || speedFor(flashBaud) == B0) {
        error = "baud rates must be 9600, 19200, 38400, 57600 or 115200";
        return false;
    }
    base = current = baud;
    flash = flashBaud;
    masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char* name = masterFd >= 0 && ::grantpt(masterFd) == 0 && ::unlockpt(masterFd) == 0 ? ::ptsname(masterFd)
                                                                                                  : nullptr;
    if (!name) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Held open for good: the host may close and reopen its end (to change
    // the rate) without the master seeing a hang-up or the settings getting lost.
    slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slaveFd < 0 || ::tcgetattr(slaveFd, &t) != 0) {
        error = std::string("cannot open the pseudo-terminal '") + name + "': " + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, speedFor(baud));
    ::cfsetospeed(&t, speedFor(baud));
    ::tcsetattr(slaveFd, TCSANOW, &t);
    ::unlink(path.c_str()); // a link left by an earlier run
    if (::symlink(name, path.c_str()) != 0) {
        error = "cannot link '" + path + "' to " + name + ": " + std::strerror(errno);
        return false;
    }
    link = path;
    return true;
}

int PtyLine::hostRate() const
{
    termios t{};
    if (::tcgetattr(slaveFd, &t) != 0)
        return 0;
    return baudOf(static_cast<unsigned>(::cfgetospeed(&t)));
}

void PtyLine::toFlashRate(std::uint32_t drive)
{
    // The reply that confirms the jump is on its way at the old rate first.
    ::tcdrain(masterFd);
    current = flash;
    switchedDrive = drive;
}

void PtyLine::toBaseRate()
{
    ::tcdrain(masterFd);
    current = base;
    switchedDrive = 0;
}

} // namespace drivesim
