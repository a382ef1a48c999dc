#pragma once
// The tools' poll loops stop on SIGINT or SIGTERM: the handler writes a byte
// to a pipe the loop watches. SIGPIPE is ignored, so a vanished peer is an
// error on the write, not the end of the process.
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kavreltools {

inline int stopPipeWriteEnd = -1;

// The pipe's read end for the loop, or -1 when the pipe cannot be made.
inline int stopOnSignals()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    stopPipeWriteEnd = fds[1];
    struct sigaction sa{};
    sa.sa_handler = [](int) {
        char c = 1;
        [[maybe_unused]] auto n = ::write(stopPipeWriteEnd, &c, 1);
    };
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return fds[0];
}

} // namespace kavreltools
