#include "CanOpenSimulator.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "ControlLine.h"
#include "DriveTable.h"

namespace drivesim {

using namespace std::chrono;

CanOpenSimulator::CanOpenSimulator(canbus::Endpoint e, CanOpenFamily family, const std::vector<std::uint32_t>& ids,
                                   std::uint32_t bitrate, FaultPlan f, bool v)
    : endpoint(std::move(e)), defaultRate(bitrate), faults(f), verbose(v)
{
    for (auto id : ids) {
        drives[id] = std::make_unique<CanOpenDrive>(id, family);
        drives[id]->bitrate = bitrate;
    }
}

CanOpenSimulator::~CanOpenSimulator()
{
    if (controlFd >= 0)
        ::close(controlFd);
}

bool CanOpenSimulator::connect(std::string& error)
{
    return connectionFor(defaultRate, error);
}

bool CanOpenSimulator::connectionFor(std::uint32_t rate, std::string& error)
{
    if (connections.count(rate))
        return true;
    auto c = canbus::Connection::open(endpoint, rate, error);
    if (!c)
        return false;
    connections[rate] = std::move(c);
    return true;
}

void CanOpenSimulator::dropUnusedConnections()
{
    for (auto it = connections.begin(); it != connections.end();) {
        bool used = false;
        for (const auto& [id, d] : drives)
            used = used || d->bitrate == it->first;
        it = used ? std::next(it) : connections.erase(it);
    }
}

bool CanOpenSimulator::openControl(const std::string& path, std::string& error)
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
    controlFd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (controlFd < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

void CanOpenSimulator::failOn(std::uint16_t index, std::uint16_t subindex)
{
    if (subindex > 0xFF)
        return;
    for (auto& [id, d] : drives)
        d->failing.insert((std::uint32_t{canOpenObjectIndex(index)} << 8) | subindex);
}

void CanOpenSimulator::trace(const char* dir, std::uint32_t rate, const canbus::Frame& frame) const
{
    if (!verbose)
        return;
    std::fprintf(stderr, "can@%u %s %03X [%u]", static_cast<unsigned>(rate), dir, static_cast<unsigned>(frame.id),
                 static_cast<unsigned>(frame.len));
    for (unsigned i = 0; i < frame.len; ++i)
        std::fprintf(stderr, " %02X", frame.data[i]);
    std::fprintf(stderr, "\n");
}

bool CanOpenSimulator::pause()
{
    if (faults.delayMs == 0)
        return true;
    const auto deadline = steady_clock::now() + milliseconds(faults.delayMs);
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{stopFd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (r > 0) {
            stopping = true;
            return false;
        }
        if (r == 0 || (r < 0 && errno != EINTR))
            return true;
    }
}

void CanOpenSimulator::onFrame(std::uint32_t rate, const canbus::Frame& frame)
{
    trace("<-", rate, frame);
    if (frame.extended || frame.id <= 0x600 || frame.id > 0x67F || frame.len != 8)
        return;
    auto it = drives.find(frame.id - 0x600);
    if (it == drives.end() || it->second->bitrate != rate || it->second->silenced)
        return;
    const FaultPlan::Verdict verdict = faults.next();
    canbus::Frame reply;
    reply.id = 0x580 + it->first + (faults.wrongAddress ? 1 : 0);
    reply.len = 8;
    if (!it->second->answer(frame.data, reply.data))
        return;
    // A frame with a bad CRC never reaches the host's controller: on CAN a
    // corrupted reply is a lost one.
    if (verdict.unanswered || verdict.corrupt || !pause())
        return;
    if (verdict.cutShort)
        reply.len = 4;
    trace("->", rate, reply);
    auto c = connections.find(rate);
    if (c != connections.end() && c->second->send(reply, seconds(1)) != canbus::SendResult::ok)
        std::cerr << "kavrel-drive-sim: a reply could not be sent" << std::endl;
}

void CanOpenSimulator::control(const std::string& line)
{
    std::istringstream in(line);
    std::string verb, who;
    in >> verb >> who;
    if (verb.empty())
        return;
    const auto targets = controlTargets(drives, who);
    std::string error;
    if (verb != "silence" && verb != "answer" && verb != "set" && verb != "bitrate")
        error = "unknown command '" + verb + "' (silence ID, answer ID, set ID INDEX.SUB VALUE, bitrate ID RATE)";
    else if (targets.empty())
        error = "'" + who + "' is not a drive of this simulator";
    else if (verb == "set") {
        SetArguments set;
        if (!readSetArguments(in, 0xFF, set))
            error = "set needs ID INDEX.SUB VALUE";
        else
            for (auto* d : targets)
                if (!d->force(canOpenObjectIndex(static_cast<std::uint16_t>(set.index)),
                              static_cast<std::uint8_t>(set.subindex), static_cast<std::uint32_t>(set.value)))
                    error = "drive " + std::to_string(d->id()) + " has no parameter " + set.parameter;
    } else if (verb == "bitrate") {
        std::string rateText;
        in >> rateText;
        std::uint64_t rate = 0;
        if (!parseNumber(rateText, rate) || rate == 0 || rate > 1000000)
            error = "bitrate needs ID RATE (1..1000000 bit/s)";
        else if (connectionFor(static_cast<std::uint32_t>(rate), error)) {
            for (auto* d : targets)
                d->bitrate = static_cast<std::uint32_t>(rate);
            dropUnusedConnections();
        }
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

void CanOpenSimulator::onControlData()
{
    char buffer[512];
    const ssize_t n = ::read(controlFd, buffer, sizeof buffer);
    if (n <= 0)
        return;
    controlBuffer.append(buffer, static_cast<std::size_t>(n));
    for (;;) {
        const auto nl = controlBuffer.find('\n');
        if (nl == std::string::npos) {
            if (controlBuffer.size() > 256)
                controlBuffer.clear();
            return;
        }
        std::string line = controlBuffer.substr(0, nl);
        controlBuffer.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        control(line);
    }
}

bool CanOpenSimulator::run(int stop)
{
    stopFd = stop;
    std::vector<pollfd> fds;
    std::vector<std::uint32_t> rates;
    std::vector<canbus::Frame> frames;
    while (!stopping) {
        fds.clear();
        rates.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({controlFd, POLLIN, 0});
        for (const auto& [rate, c] : connections) {
            fds.push_back({c->fd(), POLLIN, 0});
            rates.push_back(rate);
        }
        const int r = ::poll(fds.data(), fds.size(), 1000);
        if (r < 0 && errno != EINTR)
            return false;
        if (fds[0].revents & POLLIN)
            return true;
        for (std::size_t i = 2; i < fds.size() && !stopping; ++i) {
            if (fds[i].revents == 0)
                continue;
            auto c = connections.find(rates[i - 2]);
            if (c == connections.end())
                continue;
            frames.clear();
            const bool alive = c->second->receive(frames);
            for (const auto& f : frames)
                onFrame(rates[i - 2], f);
            if (!alive) {
                std::cerr << "kavrel-drive-sim: the CAN bus " << endpoint.text << " is gone" << std::endl;
                return false;
            }
        }
        // After the bus: a bit-rate change may replace connections.
        if (controlFd >= 0 && (fds[1].revents & POLLIN))
            onControlData();
    }
    return true;
}

} // namespace drivesim
