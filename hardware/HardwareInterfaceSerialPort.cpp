#include "hardware/HardwareInterfaceSerialPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"

namespace Kavrel {

namespace {

using Clock = std::chrono::steady_clock;

// The whole answer must be in within this, however slowly a peer dribbles.
constexpr std::chrono::milliseconds maxResponseTime{2000};

struct Rate {
    std::uint32_t bits;
    speed_t code;
};

constexpr Rate rates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedFor(std::uint32_t bits, speed_t& code)
{
    for (const auto& rate : rates)
        if (rate.bits == bits) {
            code = rate.code;
            return true;
        }
    return false;
}

std::string errnoText(int error)
{
    return commonbase::cat(std::strerror(error), " (errno ", error, ")");
}

// One mutex per device path, shared by every port object on that path, so two
// interfaces listing the same port still serialise their frames.
std::shared_ptr<std::recursive_mutex> mutexFor(const std::string& path)
{
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<std::recursive_mutex>> registry;
    std::error_code ec;
    std::string key = std::filesystem::weakly_canonical(path, ec).string();
    if (ec || key.empty())
        key = path;
    std::lock_guard<std::mutex> lock(registryLock);
    for (auto it = registry.begin(); it != registry.end();)
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    auto& slot = registry[key];
    auto mutex = slot.lock();
    if (!mutex) {
        mutex = std::make_shared<std::recursive_mutex>();
        slot = mutex;
    }
    return mutex;
}

// Unix98 pseudo-terminal slaves (136..143) and the old BSD ones (3).
bool isPtySlave(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int devMajor = major(st.st_rdev);
    return (devMajor >= 136 && devMajor <= 143) || devMajor == 3;
}

void registerCodes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (std::uint32_t code = HardwareInterfaceSerialPort::errorOpen;
             code <= HardwareInterfaceSerialPort::errorBadRequest; ++code)
            commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(code));
    });
}

constexpr tcflag_t formatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

} // namespace

HardwareInterfaceSerialPort::HardwareInterfaceSerialPort()
    : enumerator(std::make_shared<HardwareInterfaceSerialPort_Enumerator>())
{
    registerCodes();
}

HardwareInterfaceSerialPort::HardwareInterfaceSerialPort(const std::string& path, std::uint32_t portNumber)
    : HardwareInterfaceSerialPort()
{
    setPath(path);
    number = portNumber;
}

HardwareInterfaceSerialPort::HardwareInterfaceSerialPort(const HardwareInterfaceSerialPort& other)
    : HardwareInterface(other), enumerator(other.enumerator)
{
    // The copy is closed; the descriptor stays with the object that opened it.
    handle = -1;
    pseudoTerminal = false;
}

HardwareInterfaceSerialPort::~HardwareInterfaceSerialPort()
{
    if (handle >= 0)
        closeInterface();
}

void HardwareInterfaceSerialPort::setPath(const std::string& path)
{
    name = path;
    nameToOpen = path;
    mutex = mutexFor(path);
}

std::int32_t HardwareInterfaceSerialPort::fail(std::uint32_t code, const std::string& text, std::uint16_t level)
{
    setError(code, text);
    commonbase::DbgInfo(level, __FILE__, commonbase::cat(text, " (0x", commonbase::toHex(code, 4), ")"));
    return 0;
}

std::int32_t HardwareInterfaceSerialPort::getAvailableInterfaces(HardwareInterfaceList& list)
{
    commonbase::Dbg dbg(0, __FILE__, "getAvailableInterfaces");
    std::vector<SerialPortEntry> ports;
    const std::int32_t result = enumerator->getAvailableInterfaces(ports);
    if (result < 0)
        return result;
    for (const auto& port : ports) {
        // A port's name is its path here: "/dev/pts/3" is offered, a bare "42" is not.
        if (port.path.find_first_not_of("0123456789") == std::string::npos)
            continue;
        auto copy = std::make_shared<HardwareInterfaceSerialPort>(*this);
        copy->setPath(port.path);
        copy->number = port.number;
        list.push_back(std::move(copy));
    }
    return result;
}

bool HardwareInterfaceSerialPort::isOpen() const
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    return handle >= 0;
}

bool HardwareInterfaceSerialPort::isPseudoTerminal() const
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    return pseudoTerminal;
}

std::int32_t HardwareInterfaceSerialPort::openInterface()
{
    const std::string parity = parameters.getText(0);
    const std::string dataBits = parameters.getText(1);
    const std::string stopBits = parameters.getText(2);
    commonbase::Dbg dbg(0, __FILE__,
                        commonbase::cat("openInterface(", nameToOpen, ",", baudrate, ",", parity, ",", dataBits, ",",
                                        stopBits, ")"));
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (handle >= 0) {
        commonbase::DbgInfo(1, __FILE__, commonbase::cat(nameToOpen, " was open; reopening"));
        closeInterface();
    }
    clearError();
    if (nameToOpen.empty())
        return fail(errorOpen, "no serial port path to open");
    // "AUTO" reaches here as 0; a zero rate would hang the line up.
    speed_t speed = B0;
    if (baudrate == 0 || !speedFor(baudrate, speed))
        return fail(errorBaudrate, commonbase::cat("baud rate ", baudrate, " is not a rate the serial port can set"));

    const int fd = ::open(nameToOpen.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return fail(error == EBUSY ? errorBusy : errorOpen,
                    commonbase::cat("cannot open ", nameToOpen, ": ", errnoText(error)));
    }
    // Not shared: TIOCEXCL keeps others out (root excepted), the lock keeps
    // out every other user of this library, root included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(errorBusy, commonbase::cat(nameToOpen, " is in use: ", errnoText(error)));
    }
    handle = fd;
    pseudoTerminal = false;
    if (!::isatty(fd))
        return fail(errorNotSerial, commonbase::cat(nameToOpen, " is not a serial device"), 3);
    ::ioctl(fd, TIOCEXCL);
    pseudoTerminal = isPtySlave(fd);

    if (applySettings(parity, dataBits, stopBits) != 1)
        return 0;

    if (!pseudoTerminal) {
        // DTR and RTS are held off; a pseudo-terminal has neither line.
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (::ioctl(fd, TIOCMBIC, &lines) != 0)
            commonbase::DbgInfo(2, __FILE__,
                                commonbase::cat(nameToOpen, ": DTR and RTS not cleared: ", errnoText(errno)));
    }
    if (::tcflush(fd, TCIOFLUSH) != 0)
        return fail(errorSettings, commonbase::cat(nameToOpen, ": buffers not discarded: ", errnoText(errno)), 3);

    std::this_thread::sleep_for(openSettleTime);
    commonbase::DbgInfo(1, __FILE__,
                        commonbase::cat("opened ", nameToOpen, pseudoTerminal ? " (pseudo-terminal)" : "", " at ",
                                        baudrate));
    return 1;
}

std::int32_t HardwareInterfaceSerialPort::applySettings(const std::string& parityText, const std::string& dataBitsText,
                                                        const std::string& stopBitsText)
{
    termios t{};
    if (::tcgetattr(handle, &t) != 0)
        return fail(errorSettings, commonbase::cat(nameToOpen, ": settings not readable: ", errnoText(errno)), 3);

    const char parity = parityText.empty() ? 'N' : static_cast<char>(std::toupper(static_cast<unsigned char>(parityText[0])));
    const bool withParity = parity == 'E' || parity == 'O' || parity == 'M' || parity == 'S';
    std::uint32_t dataBits = 8;
    if (!commonbase::trim(dataBitsText).empty()) {
        auto parsed = commonbase::parseDecimal(commonbase::trim(dataBitsText));
        if (!parsed || *parsed < 5 || *parsed > 8)
            return fail(errorSettings, commonbase::cat(nameToOpen, ": data bits '", dataBitsText, "' not 5 to 8"), 3);
        dataBits = *parsed;
    }
    const std::uint32_t stopCode = commonbase::leadingDecimal(commonbase::trim(stopBitsText));

    speed_t speed = B0;
    speedFor(baudrate, speed);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);

    // Binary: no line editing, no translation, no signals, no software flow control.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | IGNPAR | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    switch (stopCode) {
    case 1: t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case 2: t.c_cflag |= CSTOPB; break;
    // termios has no one and a half; a UART sends 1.5 for 5-bit characters with CSTOPB.
    case 3:
        t.c_cflag |= CSTOPB;
        if (dataBits != 5)
            commonbase::DbgInfo(1, __FILE__, commonbase::cat(nameToOpen, ": 1.5 stop bits sent as 2"));
        break;
    default: break;
    }

    const bool wantsFormat = withParity || dataBits != 8;
    const bool pty = pseudoTerminal;
    const tcflag_t size = dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR);
    if (pty) {
        // A pseudo-terminal carries bytes, not line bits: parity and size mean nothing there.
        t.c_cflag |= CS8;
        if (wantsFormat)
            commonbase::DbgInfo(2, __FILE__,
                                commonbase::cat(nameToOpen, ": parity and character size are not emulated on a "
                                                            "pseudo-terminal (asked for ",
                                                parity, ",", dataBits, "); bytes pass as 8 bits without parity"));
    } else {
        t.c_cflag |= size;
        if (withParity) {
            t.c_cflag |= PARENB;
            t.c_iflag |= INPCK;
            if (parity == 'O' || parity == 'M')
                t.c_cflag |= PARODD;
            if (parity == 'M' || parity == 'S')
                t.c_cflag |= CMSPAR;
        }
    }

    if (::tcsetattr(handle, TCSANOW, &t) != 0) {
        const int error = errno;
        if (!pty)
            return fail(errorSettings,
                        commonbase::cat(nameToOpen, ": line settings ", baudrate, ",", parity, ",", dataBits, ",",
                                        stopBitsText, " refused: ", errnoText(error)),
                        3);
        // Keep whatever stop-bit setting the pseudo-terminal has and try once more.
        termios current{};
        ::tcgetattr(handle, &current);
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | (current.c_cflag & CSTOPB);
        if (::tcsetattr(handle, TCSANOW, &t) != 0)
            return fail(errorSettings,
                        commonbase::cat(nameToOpen, ": pseudo-terminal refused baud rate ", baudrate, ": ",
                                        errnoText(errno)),
                        3);
        commonbase::DbgInfo(2, __FILE__, commonbase::cat(nameToOpen, ": stop bits left as the pseudo-terminal has them"));
    }

    // tcsetattr succeeds when any part was taken, so check what the line holds now.
    termios now{};
    if (::tcgetattr(handle, &now) != 0)
        return fail(errorSettings, commonbase::cat(nameToOpen, ": settings not readable: ", errnoText(errno)), 3);
    if (::cfgetospeed(&now) != speed || ::cfgetispeed(&now) != speed)
        return fail(errorSettings, commonbase::cat(nameToOpen, ": the line did not take baud rate ", baudrate), 3);
    if ((now.c_cflag & formatBits) != (t.c_cflag & formatBits))
        return fail(errorSettings,
                    commonbase::cat(nameToOpen, ": the line did not take the character format ", parity, ",",
                                    dataBits, ",", stopBitsText),
                    3);
    return 1;
}

std::int32_t HardwareInterfaceSerialPort::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "close");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (handle < 0)
        return 0;
    const int fd = handle;
    handle = -1;
    pseudoTerminal = false;
    if (::close(fd) != 0)
        return fail(errorLineLost, commonbase::cat("closing ", nameToOpen, ": ", errnoText(errno)));
    return 1;
}

std::int32_t HardwareInterfaceSerialPort::sendMessage(const GenericParameters& request, GenericParameters& response)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("sendMessage(", request.bytes.size(), " bytes)"));
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (handle < 0)
        return fail(errorNotOpen, commonbase::cat("sendMessage: ", nameToOpen, " is not open"));
    const std::string endText = request.getText(3);
    if (endText.empty() || request.bytes.empty())
        return fail(errorBadRequest, endText.empty() ? "sendMessage: the request names no end character"
                                                     : "sendMessage: the request has no bytes");
    const auto end = static_cast<std::uint8_t>(endText[0]);

    // Stale bytes (a late answer to an earlier request) are dropped before
    // writing, not after: a fast peer may answer before a flush after the write.
    ::tcflush(handle, TCIFLUSH);

    const auto writeDeadline = Clock::now() + writeTimeout;
    std::size_t written = 0;
    while (written < request.bytes.size()) {
        const ssize_t n = ::write(handle, request.bytes.data() + written, request.bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error != EAGAIN)
            return fail(error == EIO ? errorLineLost : errorWrite,
                        commonbase::cat("writing to ", nameToOpen, ": ", errnoText(error)));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(writeDeadline - Clock::now());
        pollfd p{handle, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0)
            return fail(errorWrite, commonbase::cat("writing to ", nameToOpen, ": not sent within ",
                                                    writeTimeout.count(), " ms (", written, " of ",
                                                    request.bytes.size(), " bytes)"));
        if ((p.revents & (POLLHUP | POLLERR)) != 0 && (p.revents & POLLOUT) == 0)
            return fail(errorLineLost, commonbase::cat("writing to ", nameToOpen, ": the line was hung up"));
    }

    std::vector<std::uint8_t> got;
    const auto frameDeadline = Clock::now() + maxResponseTime;
    bool lost = false;
    // Readable-but-empty wake-ups in a row; a line that keeps doing that is dead.
    int emptyWakeups = 0;
    while (got.size() < maxResponseBytes) {
        std::uint8_t byte = 0;
        const ssize_t n = ::read(handle, &byte, 1);
        if (n == 1) {
            emptyWakeups = 0;
            got.push_back(byte);
            if (byte == end)
                break;
            continue;
        }
        // With VMIN and VTIME at 0 a tty reads 0 bytes when nothing is there.
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error != EAGAIN || ++emptyWakeups > 100) {
            lost = true;
            break;
        }
        auto wait = std::min<Clock::duration>(readTimeout, frameDeadline - Clock::now());
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
        pollfd p{handle, POLLIN, 0};
        if (waitMs <= 0 || ::poll(&p, 1, static_cast<int>(waitMs)) <= 0)
            break;
        if ((p.revents & POLLIN) == 0) {
            lost = true;
            break;
        }
    }

    if (!got.empty() && got.back() == end) {
        response.bytes = std::move(got);
        clearError();
        return 1;
    }
    if (lost)
        return fail(errorLineLost, commonbase::cat("reading from ", nameToOpen, ": the line was hung up after ",
                                                   got.size(), " bytes"));
    // Silence is routine while scanning for drives, so it is no warning.
    if (got.empty())
        return fail(errorNoReply,
                    commonbase::cat("no answer on ", nameToOpen, " within ", readTimeout.count(), " ms"), 1);
    // The start of the bytes is enough to see what came.
    const auto shown = static_cast<std::ptrdiff_t>(std::min<std::size_t>(got.size(), 32));
    const std::vector<std::uint8_t> head(got.begin(), got.begin() + shown);
    return fail(errorNoEndCharacter,
                commonbase::cat("answer on ", nameToOpen, " without end character 0x",
                                commonbase::toHex(end, 2), ": ", got.size(), " bytes ", vecToDebug(head),
                                got.size() > head.size() ? "..." : ""));
}

} // namespace Kavrel
