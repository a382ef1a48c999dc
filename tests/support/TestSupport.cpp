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
#include <random>
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
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("kavrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            dir = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
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
    if (child <= 0)
        return false;
    int st = 0;
    pid_t r = ::waitpid(child, &st, WNOHANG);
    if (r == child) {
        status = st;
        child = -1;
        return false;
    }
    return true;
}

static int decodedStatus(int st)
{
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int ChildProcess::wait(milliseconds timeout)
{
    auto deadline = steady_clock::now() + timeout;
    while (child > 0 && steady_clock::now() < deadline) {
        int st = 0;
        if (::waitpid(child, &st, WNOHANG) == child) {
            status = st;
            child = -1;
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return stop(milliseconds(2000));
}

int ChildProcess::stop(milliseconds timeout)
{
    if (child <= 0)
        return decodedStatus(status);
    ::kill(child, SIGTERM);
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        int st = 0;
        if (::waitpid(child, &st, WNOHANG) == child) {
            status = st;
            child = -1;
            return decodedStatus(st);
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
    int st = 0;
    ::waitpid(child, &st, 0);
    child = -1;
    status = -1;
    return -1;
}

SocatPair::SocatPair()
{
    pathA = dir.str() + "ttyA";
    pathB = dir.str() + "ttyB";
    socat = std::make_unique<ChildProcess>(std::vector<std::string>{
        "socat", "pty,raw,echo=0,link=" + pathA, "pty,raw,echo=0,link=" + pathB});
    auto deadline = steady_clock::now() + seconds(5);
    while (steady_clock::now() < deadline) {
        if (std::filesystem::exists(pathA) && std::filesystem::exists(pathB)) {
            ready = true;
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

SocatPair::~SocatPair() { kill(); }

void SocatPair::kill()
{
    if (socat) {
        socat->stop(milliseconds(2000));
        socat.reset();
    }
}

RawPort::RawPort(const std::string& path)
{
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
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

std::string RawPort::readUntil(char end, milliseconds timeout)
{
    std::string got;
    auto deadline = steady_clock::now() + timeout;
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return got;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            return got;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n == 1) {
            got.push_back(c);
            if (c == end)
                return got;
        } else if (n == 0 || (n < 0 && errno != EAGAIN)) {
            return got;
        }
    }
}

std::string RawPort::readFor(milliseconds timeout, std::size_t max)
{
    std::string got;
    auto deadline = steady_clock::now() + timeout;
    while (got.size() < max) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char chunk[256];
        ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, max - got.size()));
        if (n > 0)
            got.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EAGAIN)
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
    a.sin_port = 0;
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

bool sendControl(const std::string& fifo, ChildProcess& sim, const std::string& command)
{
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const std::string line = command + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written && sim.readLine(std::chrono::milliseconds(3000)) == "control " + command;
}

} // namespace kavreltest
