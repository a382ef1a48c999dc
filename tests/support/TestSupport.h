#pragma once
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <cstdio>
#include <vector>

namespace kavreltest {

// A fresh folder under the system temp dir, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }
    std::string str() const { return dir.string() + "/"; }
    std::filesystem::path write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path dir;
};

std::string readFile(const std::filesystem::path& file);

// Runs a shell command for at most a minute: its exit status; its output, standard error included, into *output.
inline int shell(const std::string& command, std::string* output = nullptr)
{
    FILE* p = ::popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
        if (output) output->append(buffer, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child process with its standard output on a pipe; killed (SIGTERM, then
// SIGKILL) and reaped on destruction.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return child; }
    // One line of standard output (without the newline); empty on time-out or end.
    std::string readLine(std::chrono::milliseconds timeout);
    // Sends SIGTERM and waits up to timeout; returns the exit status or -1.
    int stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Waits up to timeout for the child to end by itself, then stops it.
    int wait(std::chrono::milliseconds timeout);
    bool running();

private:
    pid_t child = -1;
    int outFd = -1;
    std::string buffer;
    int status = -1;
};

// A socat pseudo-terminal pair: two linked paths under a temp folder.
class SocatPair {
public:
    SocatPair();
    ~SocatPair();
    const std::string& a() const { return pathA; }
    const std::string& b() const { return pathB; }
    bool ok() const { return ready; }
    // Ends socat: both ends vanish (the peer of an open port sees a hang-up).
    void kill();

private:
    TempDir dir;
    std::string pathA, pathB;
    std::unique_ptr<ChildProcess> socat;
    bool ready = false;
};

// A raw end of a pseudo-terminal for tests that play the peer.
class RawPort {
public:
    explicit RawPort(const std::string& path);
    ~RawPort();
    bool ok() const { return fd >= 0; }
    bool write(const std::string& bytes);
    // Reads until the end character (included) or timeout; returns what came.
    std::string readUntil(char end, std::chrono::milliseconds timeout);
    // Reads what arrives within timeout (at most max bytes).
    std::string readFor(std::chrono::milliseconds timeout, std::size_t max = 4096);

private:
    std::string collect(std::chrono::milliseconds timeout, std::size_t max, int end);
    int fd = -1;
};

// Sets an environment variable for its lifetime, then puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::optional<std::string> before;
};

// A free TCP port on 127.0.0.1 (bound and released).
int freeTcpPort();
// Sends one command to a simulator's control input; the line the simulator
// (whose output is sim) answers with.
std::string controlReply(const std::string& fifo, ChildProcess& sim, const std::string& command);
// True once the simulator says the command took effect.
bool sendControl(const std::string& fifo, ChildProcess& sim, const std::string& command);

std::string binDir();
std::string libDir();
std::string sourceDir();

} // namespace kavreltest
