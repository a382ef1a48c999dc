#pragma once
// The Modbus server both clients of a benchmark talk to: kavrel-drive-sim
// when it is built, else the pymodbus stand-in of the tests. Started once,
// stopped when the benchmark program ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <modbus.h>

extern char** environ;

namespace modbusbench {

class Child {
public:
    Child(std::vector<std::string> argv)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out = fds[0];
    }
    ~Child()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            for (int i = 0; i < 300; ++i) {
                if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        if (out >= 0)
            ::close(out);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // One line of the child's standard output; empty after timeout.
    std::string readLine(std::chrono::milliseconds timeout)
    {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char c = 0;
            if (::read(out, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line.push_back(c);
        }
        return {};
    }
    bool ok() const { return pid > 0; }

private:
    pid_t pid = -1;
    int out = -1;
};

inline std::string simulatorPath()
{
    const std::string sim = std::string(KAVREL_BIN_DIR) + "/kavrel-drive-sim";
    return std::filesystem::exists(sim) ? sim : std::string();
}

inline std::string pymodbusServer()
{
    return std::string(KAVREL_SOURCE_DIR) + "/tests/protocols/pymodbus_server.py";
}

// Waits for a line starting with prefix; returns it (empty on time-out).
inline std::string awaitLine(Child& child, const std::string& prefix)
{
    for (int i = 0; i < 10; ++i) {
        std::string line = child.readLine(std::chrono::milliseconds(15000));
        if (line.empty())
            return {};
        if (line.rfind(prefix, 0) == 0)
            return line;
    }
    return {};
}

// A socat pseudo-terminal pair under a temporary folder.
class PtyPair {
public:
    PtyPair()
    {
        char pattern[] = "/tmp/kavrel-bench-XXXXXX";
        if (!::mkdtemp(pattern))
            return;
        dir = pattern;
        a = dir + "/ttyA";
        b = dir + "/ttyB";
        socat = std::make_unique<Child>(std::vector<std::string>{
            "/usr/bin/socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        for (int i = 0; i < 500 && !(std::filesystem::exists(a) && std::filesystem::exists(b)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~PtyPair()
    {
        socat.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    bool ok() const { return std::filesystem::exists(a) && std::filesystem::exists(b); }
    std::string a, b;

private:
    std::string dir;
    std::unique_ptr<Child> socat;
};

// Best time per read of each side over the repetitions: the neighbours on a
// shared machine only ever add time. Only the timed runs count, not the short
// ones that size them.
inline void keepBest(double& best, std::chrono::steady_clock::duration elapsed, benchmark::IterationCount n)
{
    if (elapsed < std::chrono::milliseconds(500))
        return;
    const double perRead = std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(n);
    if (best == 0 || perRead < best)
        best = perRead;
}

// Times read() once per iteration (it returns false on a failed read) into best.
template <typename Read>
void timeReads(benchmark::State& state, double& best, Read read)
{
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!read()) {
            state.SkipWithError("read failed");
            return;
        }
    }
    keepBest(best, std::chrono::steady_clock::now() - start, state.iterations());
}

// Times libmodbus reading two registers at address through ctx, which it connects,
// closes and frees.
inline void timeLibmodbusReads(benchmark::State& state, modbus_t* ctx, int address, double& best, const std::string& label)
{
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        state.SkipWithError("connect failed");
        return;
    }
    std::uint16_t regs[2] = {0, 0};
    timeReads(state, best, [&] {
        const bool read = modbus_read_registers(ctx, address, 2, regs) == 2;
        benchmark::DoNotOptimize(regs);
        return read;
    });
    state.SetLabel(label);
    modbus_close(ctx);
    modbus_free(ctx);
}

// Runs the benchmarks, then prints the two sides' best and their ratio, and
// Kavrel against a plain socket exchange when the caller timed one.
inline int runAndReport(int argc, char** argv, const char* what, const double& kavrelNs, const double& libmodbusNs,
                        const double* rawNs = nullptr)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (kavrelNs > 0 && libmodbusNs > 0)
        std::printf("%s read, best of the runs: FieldbusDevice %.1f us, libmodbus %.1f us, ratio %.3f (target <= 1.15)\n",
                    what, kavrelNs / 1000.0, libmodbusNs / 1000.0, kavrelNs / libmodbusNs);
    if (rawNs && *rawNs > 0 && kavrelNs > 0)
        std::printf("%s read, best of the runs: FieldbusDevice %.1f us, raw socket %.1f us, ratio %.3f (target <= 1.10)\n",
                    what, kavrelNs / 1000.0, *rawNs / 1000.0, kavrelNs / *rawNs);
    return 0;
}

} // namespace modbusbench
