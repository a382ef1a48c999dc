#include "support/TestSupport.h"
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kavreltest {

using namespace std::chrono;

TempDir::TempDir()
{
    std::string name = (std::filesystem::temp_directory_path() / "kavrel-test-XXXXXX").string();
    if (!::mkdtemp(name.data()))
        throw std::runtime_error("cannot create a temporary folder");
    dir = name;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir, ec);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& content) const
{
    auto file = dir / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file;
}

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ChildProcess::ChildProcess(std::vector<std::string> argv)
{
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        ::setpgid(0, 0);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    outFd = fds[0];
}

ChildProcess::~ChildProcess()
{
    stop(milliseconds(2000));
    if (outFd >= 0)
        ::close(outFd);
}

std::string ChildProcess::readLine(milliseconds timeout)
{
    auto deadline = steady_clock::now() + timeout;
    for (;;) {
        auto nl = buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return line;
        }
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || outFd < 0)
            return {};
        pollfd p{outFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            return {};
        char chunk[512];
        ssize_t n = ::read(outFd, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::running()
{
    int st = 0;
    if (child <= 0 || ::waitpid(child, &st, WNOHANG) != child)
        return child > 0;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    child = -1;
    return false;
}

int ChildProcess::wait(milliseconds timeout)
{
    for (auto deadline = steady_clock::now() + timeout; running() && steady_clock::now() < deadline;)
        std::this_thread::sleep_for(milliseconds(5));
    return stop(milliseconds(2000));
}

int ChildProcess::stop(milliseconds timeout)
{
    if (child <= 0)
        return status;
    ::kill(child, SIGTERM);
    for (auto deadline = steady_clock::now() + timeout; steady_clock::now() < deadline;) {
        if (!running())
            return status;
        std::this_thread::sleep_for(milliseconds(10));
    }
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    child = -1;
    return status = -1;
}

SocatPair::SocatPair()
{
    pathA = dir.str() + "ttyA";
    pathB = dir.str() + "ttyB";
    socat = std::make_unique<ChildProcess>(std::vector<std::string>{
        "socat", "pty,raw,echo=0,link=" + pathA, "pty,raw,echo=0,link=" + pathB});
    for (auto deadline = steady_clock::now() + seconds(5); steady_clock::now() < deadline;) {
        if ((ready = std::filesystem::exists(pathA) && std::filesystem::exists(pathB)))
            break;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

SocatPair::~SocatPair() { kill(); }

void SocatPair::kill() { socat.reset(); }

RawPort::RawPort(const std::string& path)
{
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
}

RawPort::~RawPort()
{
    if (fd >= 0)
        ::close(fd);
}

bool RawPort::write(const std::string& bytes)
{
    // Bounded: a peer that never drains its side fails the test instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if ((errno == EAGAIN || errno == EINTR) && std::chrono::steady_clock::now() < deadline) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RawPort::readUntil(char end, milliseconds timeout) { return collect(timeout, 4096, end); }

std::string RawPort::readFor(milliseconds timeout, std::size_t max) { return collect(timeout, max, -1); }

std::string RawPort::collect(milliseconds timeout, std::size_t max, int end)
{
    std::string got;
    for (auto deadline = steady_clock::now() + timeout; got.size() < max;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        // One character at a time when looking for the end, so nothing after it is taken.
        char chunk[256];
        ssize_t n = ::read(fd, chunk, end < 0 ? std::min(sizeof chunk, max - got.size()) : 1);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            break;
        if (n > 0)
            got.append(chunk, static_cast<std::size_t>(n));
        if (n > 0 && end >= 0 && chunk[n - 1] == static_cast<char>(end))
            break;
    }
    return got;
}

int freeTcpPort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

std::string binDir() { return KAVREL_BIN_DIR; }
std::string libDir() { return KAVREL_LIB_DIR; }
std::string sourceDir() { return KAVREL_SOURCE_DIR; }

ScopedEnv::ScopedEnv(std::string name_, const std::string& value) : name(std::move(name_))
{
    if (const char* old = std::getenv(name.c_str()))
        before = old;
    ::setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (before)
        ::setenv(name.c_str(), before->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

std::string controlReply(const std::string& fifo, ChildProcess& sim, const std::string& command)
{
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    const std::string line = command + "\n";
    const bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0)
        ::close(fd);
    return written ? sim.readLine(std::chrono::milliseconds(5000)) : "(not written to " + fifo + ")";
}

bool sendControl(const std::string& fifo, ChildProcess& sim, const std::string& command)
{
    return controlReply(fifo, sim, command) == "control " + command;
}

} // namespace kavreltest
