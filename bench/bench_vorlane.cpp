// Parameter reads per second over a socat pseudo-terminal pair, through the
// protocol and as raw exchanges of the same telegrams, in one run. The drive
// is played on the far end by a thread. Compare the two items' rates: the
// protocol's overhead ratio should stay at or below 1.2.
//
// A real line bounds the rate: request "0201000A00000000\r" (17 characters)
// plus a 17-character reply = 34 characters x 10 bits / 19200 baud = 17.7 ms,
// about 56 reads per second at 19200 baud (113 at 38400).
#include <benchmark/benchmark.h>

#include <atomic>
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

#include "hardware/HardwareInterface.h"
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

bool writeAll(int fd, const std::string& s)
{
    return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

class PtyLine : public Kavrel::HardwareInterface {
public:
    explicit PtyLine(std::string path) { nameToOpen = std::move(path); }
    ~PtyLine() override { closeInterface(); }
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return (fd = openRaw(nameToOpen)) >= 0 ? 1 : 0; }
    std::int32_t closeInterface() override
    {
        if (fd < 0)
            return 0;
        ::close(fd);
        fd = -1;
        return 1;
    }
    std::int32_t sendMessage(const Kavrel::GenericParameters& request, Kavrel::GenericParameters& response) override
    {
        std::lock_guard<std::recursive_mutex> lock(*mutex);
        if (fd < 0 || !writeAll(fd, request.bytesAsText()))
            return 0;
        const std::string reply = readLine(fd);
        if (reply.empty())
            return 0;
        response.setBytes(reply);
        return 1;
    }

private:
    int fd = -1;
};

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

void BM_ProtocolRead(benchmark::State& state)
{
    Bench bench;
    if (!bench.start()) {
        state.SkipWithError("socat pair not available");
        return;
    }
    auto line = std::make_shared<PtyLine>(bench.a);
    Kavrel::FieldbusProtocolVorlane protocol(line);
    protocol.openInterface(1);
    std::uint32_t value = 0;
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
        writeAll(fd, "0201000A00000000\r");
        std::string reply = readLine(fd);
        if (reply.size() != 17) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawExchange)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_ProtocolRead)->Iterations(2000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
