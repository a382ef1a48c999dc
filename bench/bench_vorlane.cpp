// Parameter reads per second over a socat pseudo-terminal pair, through the
// protocol on the serial port adapter and as raw exchanges of the same
// telegrams done here directly on the pseudo-terminal, in one run. The drive
// is played on the far end by a thread. The ratio of the two times per read
// is printed at the end: the protocol's overhead should stay at or below 1.2.
//
// A real line bounds the rate: request "0201000A00000000\r" (17 characters)
// plus a 17-character reply = 34 characters x 10 bits / 19200 baud = 17.7 ms,
// about 56 reads per second at 19200 baud (113 at 38400).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hardware/HardwareInterfaceSerialPort.h"
#include "protocols/FieldbusProtocolVorlane.h"

extern char** environ;

namespace {

int openRaw(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads up to and including '\r'; empty after a 200 ms quiet gap.
std::string readLine(int fd)
{
    std::string got;
    for (int i = 0; i < 256; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            return {};
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            return {};
        got.push_back(c);
        if (c == '\r')
            return got;
    }
    return {};
}

// The leanest way to take a reply: wait, then read whatever has arrived.
std::string readReply(int fd)
{
    std::string got;
    for (int i = 0; i < 64; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            return {};
        char chunk[64];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        got.append(chunk, static_cast<std::size_t>(n));
        if (got.back() == '\r')
            return got;
    }
    return {};
}

bool writeAll(int fd, const std::string& s)
{
    return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

// socat pty pair plus a drive thread that echoes addresses and answers reads.
struct Bench {
    std::string dir, a, b;
    pid_t socat = -1;
    int driveFd = -1;
    std::atomic<bool> stop{false};
    std::thread drive;

    bool start()
    {
        char tmpl[] = "/tmp/kavrel-bench-XXXXXX";
        if (!::mkdtemp(tmpl))
            return false;
        dir = tmpl;
        a = dir + "/a";
        b = dir + "/b";
        std::string la = "pty,raw,echo=0,link=" + a, lb = "pty,raw,echo=0,link=" + b;
        char* argv[] = {const_cast<char*>("socat"), la.data(), lb.data(), nullptr};
        if (::posix_spawnp(&socat, "socat", nullptr, nullptr, argv, environ) != 0)
            return false;
        for (int i = 0; i < 100 && (::access(a.c_str(), F_OK) || ::access(b.c_str(), F_OK)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        driveFd = openRaw(b);
        if (driveFd < 0)
            return false;
        drive = std::thread([this] {
            while (!stop) {
                std::string t = readLine(driveFd);
                if (t.size() == 4 && t[0] == '#')
                    writeAll(driveFd, t);
                else if (t.size() == 17)
                    writeAll(driveFd, t.substr(0, 8) + "00001234\r");
            }
        });
        return true;
    }
    ~Bench()
    {
        stop = true;
        if (drive.joinable())
            drive.join();
        if (driveFd >= 0)
            ::close(driveFd);
        if (socat > 0) {
            ::kill(socat, SIGTERM);
            ::waitpid(socat, nullptr, 0);
        }
        if (!dir.empty()) {
            std::remove(a.c_str());
            std::remove(b.c_str());
            ::rmdir(dir.c_str());
        }
    }
};

std::shared_ptr<Kavrel::HardwareInterfaceSerialPort> vorlanePort(const std::string& path)
{
    auto line = std::make_shared<Kavrel::HardwareInterfaceSerialPort>(path);
    line->setBaudrate(19200);
    Kavrel::GenericParameters format;
    format.setText(0, "E");
    format.setText(1, "7");
    format.setText(2, "1");
    line->setParameters(format);
    return line;
}

bool rawRead(int fd)
{
    ::tcflush(fd, TCIFLUSH);
    writeAll(fd, "0201000A00000000\r");
    return readReply(fd).size() == 17;
}

void BM_ProtocolRead(benchmark::State& state)
{
    Bench bench;
    if (!bench.start()) {
        state.SkipWithError("socat pair not available");
        return;
    }
    auto line = vorlanePort(bench.a);
    Kavrel::FieldbusProtocolVorlane protocol(line);
    if (protocol.openInterface(1) != 1) {
        state.SkipWithError(line->getLastErrorText().c_str());
        return;
    }
    std::uint32_t value = 0;
    // The first read addresses the drive; only the reads after it are timed.
    protocol.readParameter(1, 2, 10, 1, value);
    for (auto _ : state) {
        if (protocol.readParameter(1, 2, 10, 1, value) != 1) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    protocol.closeInterface();
    state.SetItemsProcessed(state.iterations());
}

void BM_RawExchange(benchmark::State& state)
{
    Bench bench;
    if (!bench.start()) {
        state.SkipWithError("socat pair not available");
        return;
    }
    int fd = openRaw(bench.a);
    writeAll(fd, "#01\r");
    readLine(fd);
    for (auto _ : state) {
        if (!rawRead(fd)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}

// Medians of one run, for the ratio printed at the end.
double rawMedian = 0;
double protocolMedian = 0;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Raw exchanges and protocol reads in alternating blocks on the same line and
// drive, so both see the same load on a shared machine; medians per read.
void BM_ReadRatio(benchmark::State& state)
{
    Bench bench;
    if (!bench.start()) {
        state.SkipWithError("socat pair not available");
        return;
    }
    // The raw descriptor is opened first: the port then keeps everyone else out.
    int fd = openRaw(bench.a);
    auto line = vorlanePort(bench.a);
    Kavrel::FieldbusProtocolVorlane protocol(line);
    if (fd < 0 || protocol.openInterface(1) != 1) {
        state.SkipWithError("line not available");
        if (fd >= 0)
            ::close(fd);
        return;
    }
    std::uint32_t value = 0;
    protocol.readParameter(1, 2, 10, 1, value);
    std::vector<double> raw, proto;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            const bool ok = rawRead(fd);
            raw.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
            if (!ok)
                state.SkipWithError("raw exchange failed");
        }
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            const bool ok = protocol.readParameter(1, 2, 10, 1, value) == 1;
            proto.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
            if (!ok)
                state.SkipWithError("protocol read failed");
        }
    }
    rawMedian = median(raw);
    protocolMedian = median(proto);
    state.counters["raw_us"] = rawMedian * 1e6;
    state.counters["protocol_us"] = protocolMedian * 1e6;
    state.counters["ratio"] = rawMedian > 0 ? protocolMedian / rawMedian : 0;
    protocol.closeInterface();
    ::close(fd);
}

BENCHMARK(BM_RawExchange)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_ProtocolRead)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_ReadRatio)->Iterations(20)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (rawMedian > 0 && protocolMedian > 0) {
        const double ratio = protocolMedian / rawMedian;
        std::cout << "median per read: raw exchange " << rawMedian * 1e6 << " us (" << 1 / rawMedian
                  << " reads/s), protocol on the serial port " << protocolMedian * 1e6 << " us ("
                  << 1 / protocolMedian << " reads/s)\n"
                  << "protocol/raw ratio " << ratio << (ratio <= 1.2 ? " (within 1.2)" : " (ABOVE 1.2)") << "\n";
    }
    // A real line: 17 request + 17 reply characters of 10 bits each.
    constexpr double bits = 34 * 10;
    std::cout << "line bound at 19200 baud: " << bits / 19200 * 1e3 << " ms/read, " << 19200 / bits
              << " reads/s (38400 baud: " << 38400 / bits << " reads/s)\n";
    return 0;
}
