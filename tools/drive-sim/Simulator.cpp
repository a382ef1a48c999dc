#include "Simulator.h"

#include "ControlLine.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace drivesim {

using namespace std::chrono;

namespace {

// Well above what a test or a plant of drives opens; each client costs one
// descriptor and at most maxQueued bytes of replies.
constexpr std::size_t maxTcpClients = 1000;
constexpr std::size_t maxQueued = 64 * 1024;
constexpr int clientSendBuffer = 64 * 1024;
constexpr std::size_t maxLine = 64;
// Bytes of an RTU frame whose length the function code does not tell are
// taken as one frame after this much silence on the line.
constexpr milliseconds rtuGap{30};

speed_t speedOf(int baud)
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

// Length of an RTU request from its first bytes; 0 when not yet known,
// SIZE_MAX when the function code does not tell (the gap decides).
std::size_t rtuRequestLength(const std::vector<std::uint8_t>& b)
{
    if (b.size() < 2)
        return 0;
    switch (b[1]) {
    case 0x03:
    case 0x08: return 8;
    case 0x2B: return 7;
    case 0x10: return b.size() < 7 ? 0 : 9u + b[6];
    case 0x5A:
        if (b.size() < 5)
            return 0;
        return b[4] == 0x33 ? 15 : (b[4] == 0x34 || b[4] == 0x35) ? 11 : SIZE_MAX;
    default: return SIZE_MAX;
    }
}

} // namespace

std::uint16_t crc16(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

Simulator::Simulator(const DriveTable& table, const std::vector<std::uint32_t>& ids, FaultPlan plan, bool verbose)
    : faults(plan), verbose(verbose), modbus(drives), vorlane(drives)
{
    for (auto id : ids)
        drives[id] = std::make_unique<Drive>(id, table);
}

Simulator::~Simulator()
{
    for (auto& p : ports)
        ::close(p.fd);
}

bool Simulator::failOn(std::uint16_t index, std::uint16_t subindex)
{
    for (auto& [id, d] : drives)
        d->failing.insert(DriveTable::key(index, subindex));
    return true;
}

bool Simulator::listenTcp(const std::string& host, int port, int& boundPort, std::string& error)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        error = "'" + host + "' is not a dotted IPv4 address";
        return false;
    }
    // Room for every client the loop accepts.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < maxTcpClients + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, maxTcpClients + 64);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
    ports.push_back({Kind::listener, fd, "tcp", {}, steady_clock::now(), {}, false});
    return true;
}

bool Simulator::openSerial(const std::string& path, int baud, Kind kind, std::string& error)
{
    speed_t speed = speedOf(baud);
    if (speed == B0) {
        error = "baud rate " + std::to_string(baud) + " is not one of 9600, 19200, 38400, 57600, 115200";
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        error = "'" + path + "' is not a serial port: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Raw 8-bit bytes; parity is not set, since pseudo-terminals refuse it
    // and the bytes on the wire are the same.
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIOFLUSH);
    ports.push_back({kind, fd, kind == Kind::rtu ? "rtu" : "vorlane", {}, steady_clock::now(), {}, false});
    return true;
}

bool Simulator::openModbusSerial(const std::string& path, int baud, std::string& error)
{
    return openSerial(path, baud, Kind::rtu, error);
}

bool Simulator::openVorlaneSerial(const std::string& path, int baud, std::string& error)
{
    return openSerial(path, baud, Kind::vorlane, error);
}

bool Simulator::openControl(const std::string& path, std::string& error)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (::mkfifo(path.c_str(), 0600) != 0) {
            error = "cannot make the control FIFO '" + path + "': " + std::strerror(errno);
            return false;
        }
    } else if (!S_ISFIFO(st.st_mode)) {
        error = "'" + path + "' exists and is not a FIFO";
        return false;
    }
    // Read and write, so the FIFO never reports end-of-file between writers.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    ports.push_back({Kind::control, fd, "control", {}, steady_clock::now(), {}, false});
    return true;
}

void Simulator::trace(const Port& port, const char* dir, const std::vector<std::uint8_t>& bytes) const
{
    if (!verbose)
        return;
    std::ostringstream s;
    s << "kavrel-drive-sim: " << port.name << " " << dir;
    if (port.kind == Kind::vorlane) {
        s << " \"";
        for (auto b : bytes)
            s << (b == '\r' ? std::string("\\r") : std::string(1, static_cast<char>(b)));
        s << "\"";
    } else {
        char h[4];
        for (auto b : bytes) {
            std::snprintf(h, sizeof h, " %02X", b);
            s << h;
        }
    }
    std::cerr << s.str() << std::endl;
}

bool Simulator::pause()
{
    if (faults.delayMs == 0)
        return true;
    // The signal that asks for the stop may interrupt the wait before its
    // byte is in the pipe; wait again for what is left.
    auto deadline = steady_clock::now() + milliseconds(faults.delayMs);
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{stopFd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (r > 0) {
            stopping = true;
            return false;
        }
        if (r == 0 || (r < 0 && errno != EINTR))
            return true;
    }
}

void Simulator::sendAll(Port& port, const std::vector<std::uint8_t>& bytes)
{
    trace(port, "tx", bytes);
    if (port.drop)
        return;
    if (port.out.size() + bytes.size() > maxQueued) {
        if (port.kind == Kind::tcpClient) {
            // A client that sends and never reads would hold every other one up.
            port.drop = true;
            port.out.clear();
            if (verbose)
                std::cerr << "kavrel-drive-sim: " << port.name << ": replies not read, client dropped" << std::endl;
            return;
        }
        // Nobody on the other end of the line: older replies are lost, as on a wire.
        port.out.clear();
    }
    port.out.insert(port.out.end(), bytes.begin(), bytes.end());
    flush(port);
}

void Simulator::flush(Port& port)
{
    std::size_t done = 0;
    while (port.fd >= 0 && done < port.out.size()) {
        ssize_t n = port.kind == Kind::tcpClient
                        ? ::send(port.fd, port.out.data() + done, port.out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : ::write(port.fd, port.out.data() + done, port.out.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else {
            // The peer is gone; a serial line keeps waiting for the next one.
            if (port.kind == Kind::tcpClient)
                port.drop = true;
            done = port.out.size();
        }
    }
    port.out.erase(port.out.begin(), port.out.begin() + static_cast<std::ptrdiff_t>(done));
}

std::vector<std::uint8_t> Simulator::answerBytes(Channel channel, const std::vector<std::uint8_t>& input)
{
    Port port{channel == Channel::tcp ? Kind::tcpClient : channel == Channel::rtu ? Kind::rtu : Kind::vorlane,
              -1, "feed", input, steady_clock::now(), {}, false};
    bool keep = true;
    switch (channel) {
    case Channel::tcp: onTcpData(port, keep); break;
    case Channel::rtu: onRtuData(port, true); break;
    case Channel::vorlane: onVorlaneData(port); break;
    }
    return port.out;
}

std::vector<std::uint8_t> Simulator::answerModbus(const std::vector<std::uint8_t>& request, Drive* drive,
                                                  FaultPlan::Verdict& verdict, bool& answer)
{
    verdict = faults.next();
    answer = !verdict.unanswered && !(drive && drive->silenced);
    if (!answer)
        return {};
    std::vector<std::uint8_t> reply = drive ? modbus.answer(*drive, request)
                                            : ModbusResponder::exception(request[0], request.size() > 1 ? request[1] : 0,
                                                                         excGatewayTarget);
    if (faults.wrongAddress)
        reply[0] = static_cast<std::uint8_t>(reply[0] % 247 + 1);
    if (verdict.cutShort)
        reply.resize(std::max<std::size_t>(2, reply.size() / 2));
    if (!pause())
        answer = false;
    return reply;
}

void Simulator::onTcpData(Port& port, bool& keep)
{
    while (port.in.size() >= 7) {
        auto& b = port.in;
        std::uint16_t protocol = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
        std::uint16_t length = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
        if (length < 2 || length > 254) {
            // The stream cannot be resynchronised after a bad length.
            if (verbose)
                std::cerr << "kavrel-drive-sim: tcp: MBAP length " << length << " is not 2..254, closing" << std::endl;
            keep = false;
            return;
        }
        if (b.size() < 6u + length)
            return;
        std::vector<std::uint8_t> frame(b.begin(), b.begin() + 6 + length);
        b.erase(b.begin(), b.begin() + 6 + length);
        trace(port, "rx", frame);
        if (protocol != 0) {
            if (verbose)
                std::cerr << "kavrel-drive-sim: tcp: protocol identifier " << protocol << " is not Modbus, ignored" << std::endl;
            continue;
        }
        std::vector<std::uint8_t> request(frame.begin() + 6, frame.end());
        FaultPlan::Verdict verdict;
        bool answer = false;
        auto reply = answerModbus(request, modbus.drive(request[0]), verdict, answer);
        if (!answer)
            continue;
        std::vector<std::uint8_t> out{frame[0], frame[1], 0, 0, static_cast<std::uint8_t>(reply.size() >> 8),
                                      static_cast<std::uint8_t>(reply.size() & 0xFF)};
        out.insert(out.end(), reply.begin(), reply.end());
        sendAll(port, out);
    }
}

void Simulator::onRtuData(Port& port, bool flushGap)
{
    auto& b = port.in;
    while (!b.empty()) {
        std::size_t need = rtuRequestLength(b);
        if (need == SIZE_MAX && flushGap)
            need = b.size();
        if (need == 0 || need == SIZE_MAX || b.size() < need)
            return;
        if (need < 4) {
            b.clear();
            return;
        }
        std::vector<std::uint8_t> frame(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(need));
        trace(port, "rx", frame);
        std::uint16_t crc = crc16(frame.data(), need - 2);
        if (frame[need - 2] != (crc & 0xFF) || frame[need - 1] != (crc >> 8)) {
            // A drive stays silent on a bad checksum; what follows cannot be trusted either.
            if (verbose)
                std::cerr << "kavrel-drive-sim: rtu: bad CRC, frame ignored" << std::endl;
            b.clear();
            return;
        }
        b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(need));
        std::vector<std::uint8_t> request(frame.begin(), frame.end() - 2);
        Drive* drive = modbus.drive(request[0]);
        if (!drive)
            continue; // another station's frame, or a broadcast: no reply on a serial line
        if (!rateHeard(port))
            continue;
        FaultPlan::Verdict verdict;
        bool answer = false;
        auto reply = answerModbus(request, drive, verdict, answer);
        FlashEvent event = modbus.flash().lastEvent();
        if (!answer)
            continue;
        std::uint16_t c = crc16(reply.data(), reply.size());
        if (verdict.corrupt)
            c ^= 0x5A5A;
        reply.push_back(static_cast<std::uint8_t>(c & 0xFF));
        reply.push_back(static_cast<std::uint8_t>(c >> 8));
        sendAll(port, reply);
        afterFlashReply(port, event, drive->id());
    }
}

void Simulator::onVorlaneData(Port& port)
{
    auto& b = port.in;
    for (;;) {
        auto cr = std::find(b.begin(), b.end(), static_cast<std::uint8_t>('\r'));
        if (cr == b.end()) {
            if (b.size() > maxLine)
                b.clear();
            return;
        }
        std::string line(b.begin(), cr);
        std::vector<std::uint8_t> raw(b.begin(), cr + 1);
        b.erase(b.begin(), cr + 1);
        // Line noise and stray line feeds before a telegram are not part of it.
        while (!line.empty() && (line[0] == '\n' || line[0] == '\0'))
            line.erase(0, 1);
        trace(port, "rx", raw);
        auto outcome = vorlane.handle(line, faults.wrongAddress);
        if (!outcome.drive)
            continue;
        auto verdict = faults.next();
        if (verdict.unanswered || outcome.drive->silenced)
            continue;
        std::string reply = outcome.reply;
        if (verdict.corrupt && reply.size() >= 16)
            reply.replace(8, 8, "G0Z0K0Q0"); // characters that are no hexadecimal digits
        if (verdict.cutShort)
            reply.resize(std::min<std::size_t>(reply.size(), 10));
        if (!faults.noCr)
            reply.push_back('\r');
        if (!pause())
            return;
        sendAll(port, std::vector<std::uint8_t>(reply.begin(), reply.end()));
    }
}

void Simulator::control(const std::string& line)
{
    std::istringstream in(line);
    std::string verb, who;
    in >> verb >> who;
    if (verb.empty())
        return;
    const auto targets = controlTargets(drives, who);
    std::string error;
    if (verb != "silence" && verb != "answer" && verb != "set" && verb != "reset")
        error = "unknown command '" + verb + "' (silence ID, answer ID, set ID INDEX.SUB VALUE, reset ID)";
    else if (targets.empty())
        error = "'" + who + "' is not a drive of this simulator";
    else if (verb == "set") {
        SetArguments set;
        if (!readSetArguments(in, 0xFFFF, set))
            error = "set needs ID INDEX.SUB VALUE";
        else
            for (auto* d : targets)
                if (!d->forceParameter(static_cast<std::uint16_t>(set.index), static_cast<std::uint16_t>(set.subindex),
                                       static_cast<std::uint32_t>(set.value)))
                    error = "drive " + std::to_string(d->id()) + " has no parameter " + set.parameter;
    } else if (verb == "reset") {
        for (auto* d : targets)
            resetFlash(*d);
    } else {
        for (auto* d : targets)
            d->silenced = verb == "silence";
    }
    // The echo on standard output tells a test that the command took effect.
    if (error.empty())
        std::cout << "control " << line << std::endl;
    else {
        std::cout << "control error: " << error << std::endl;
        std::cerr << "kavrel-drive-sim: control: " << error << std::endl;
    }
}

void Simulator::onControlData(Port& port)
{
    auto& b = port.in;
    for (;;) {
        auto nl = std::find(b.begin(), b.end(), static_cast<std::uint8_t>('\n'));
        if (nl == b.end()) {
            if (b.size() > 256)
                b.clear();
            return;
        }
        std::string line(b.begin(), nl);
        b.erase(b.begin(), nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        control(line);
    }
}

void Simulator::accept(Port& listener)
{
    // Everything waiting, so a burst of connections is taken in one turn.
    // The listener lives in ports, which grows here: keep its descriptor only.
    const int listenFd = listener.fd;
    for (int i = 0; i < 64; ++i) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::size_t clients = 0;
        for (auto& p : ports)
            clients += p.kind == Kind::tcpClient;
        if (clients >= maxTcpClients) {
            if (verbose)
                std::cerr << "kavrel-drive-sim: tcp: " << maxTcpClients << " clients already, connection refused" << std::endl;
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A fixed, modest kernel buffer: a client that stops reading fills its
        // queue soon instead of after megabytes.
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &clientSendBuffer, sizeof clientSendBuffer);
        ports.push_back({Kind::tcpClient, fd, "tcp#" + std::to_string(fd), {}, steady_clock::now(), {}, false});
        if (verbose)
            std::cerr << "kavrel-drive-sim: tcp: client connected" << std::endl;
    }
}

bool Simulator::onReadable(Port& port)
{
    if (port.kind == Kind::listener) {
        accept(port);
        return true;
    }
    std::uint8_t chunk[512];
    ssize_t n = port.kind == Kind::tcpClient ? ::recv(port.fd, chunk, sizeof chunk, 0)
                                             : ::read(port.fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        if (port.kind == Kind::tcpClient) {
            if (verbose)
                std::cerr << "kavrel-drive-sim: tcp: client closed" << std::endl;
            return false;
        }
        // A pseudo-terminal whose other side is not open reads as a hang-up;
        // keep the line and wait for the next user.
        return true;
    }
    port.in.insert(port.in.end(), chunk, chunk + n);
    port.lastByte = steady_clock::now();
    bool keep = true;
    switch (port.kind) {
    case Kind::tcpClient: onTcpData(port, keep); break;
    case Kind::rtu: onRtuData(port, false); break;
    case Kind::vorlane: onVorlaneData(port); break;
    case Kind::control: onControlData(port); break;
    case Kind::listener: break;
    }
    return keep;
}

void Simulator::run(int stop)
{
    stopFd = stop;
    std::vector<pollfd> fds;
    while (!stopping) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        bool pending = false;
        auto now = steady_clock::now();
        milliseconds wait{1000};
        for (auto& p : ports) {
            short events = POLLIN;
            if (!p.out.empty())
                events |= POLLOUT;
            fds.push_back({p.fd, events, 0});
            pending = pending || (p.kind == Kind::rtu && !p.in.empty());
            if (p.kind == Kind::tcpClient && idleTimeout.count() > 0)
                wait = std::min(wait, std::max(milliseconds(0), duration_cast<milliseconds>(p.lastByte + idleTimeout - now)));
        }
        if (pending)
            wait = std::min<milliseconds>(wait, rtuGap);
        int r = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        if (r < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            break;
        // Index-based: accepting a client appends to ports.
        std::size_t count = ports.size();
        std::vector<bool> closeIt(count, false);
        for (std::size_t i = 0; i < count && !stopping; ++i) {
            short ev = r > 0 ? fds[i + 1].revents : 0;
            if ((ev & POLLOUT) && !ports[i].out.empty())
                flush(ports[i]);
            if (ev & POLLIN) {
                if (!onReadable(ports[i]))
                    closeIt[i] = true;
            } else if (ev & (POLLERR | POLLNVAL)) {
                if (ports[i].kind == Kind::tcpClient)
                    closeIt[i] = true;
            } else if (ev & POLLHUP) {
                if (ports[i].kind == Kind::tcpClient)
                    closeIt[i] = true;
                else
                    ::poll(nullptr, 0, 20); // a serial line with nobody on the other end
            }
        }
        now = steady_clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            auto& p = ports[i];
            // A pause on the RTU line ends whatever frame was in progress.
            if (p.kind == Kind::rtu && !p.in.empty() && now - p.lastByte >= rtuGap) {
                onRtuData(p, true);
                p.in.clear();
            }
            if (p.kind != Kind::tcpClient)
                continue;
            if (p.drop)
                closeIt[i] = true;
            if (idleTimeout.count() > 0 && now - p.lastByte >= idleTimeout) {
                if (verbose)
                    std::cerr << "kavrel-drive-sim: " << p.name << ": idle for " << idleTimeout.count()
                              << " ms, closed" << std::endl;
                closeIt[i] = true;
            }
        }
        for (std::size_t i = count; i-- > 0;)
            if (closeIt[i]) {
                ::close(ports[i].fd);
                ports.erase(ports.begin() + static_cast<std::ptrdiff_t>(i));
            }
    }
}

} // namespace drivesim
