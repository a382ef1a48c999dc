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
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

} // namespace modbusbench
