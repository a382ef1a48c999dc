// The simulator under load: idle connections and a client that never reads its
// replies must not hold up a client that reads normally.
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include "test_drive_sim_support.h"

using namespace simtest;

namespace {

// Parameter 1.3 of drive 1 (register (1 * 128 + 3) * 2) holds 0x20261207.
const std::vector<std::uint8_t> readRequest{1, 0x03, 0x01, 0x06, 0x00, 0x02};
const std::vector<std::uint8_t> readReply{1, 0x03, 0x04, 0x20, 0x26, 0x12, 0x07};

std::vector<std::uint8_t> expectedFrame(std::uint16_t tid) { return mbap(tid, readReply); }

// A client with a small receive window that sends requests and reads nothing.
int connectNonReader(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

TEST(DriveSimLoad, IdleAndNonReadingClientsDoNotHoldUpAReader)
{
    Sim sim({"--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.ready);
    // More idle connections than any limit below 256 would allow.
    std::vector<std::unique_ptr<RawTcp>> idle;
    for (int i = 0; i < 260; ++i) {
        idle.push_back(std::make_unique<RawTcp>(sim.port));
        ASSERT_TRUE(idle.back()->ok()) << i;
    }
    RawTcp reader(sim.port);
    ASSERT_TRUE(reader.ok());
    const int hog = connectNonReader(sim.port);
    ASSERT_GE(hog, 0);

    std::vector<std::uint8_t> burst;
    for (std::uint16_t tid = 0; tid < 200; ++tid) {
        auto frame = mbap(tid, readRequest);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    bool dropped = false;
    std::uint16_t tid = 1000;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!dropped && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 20 && !dropped; ++i) {
            ssize_t n = ::send(hog, burst.data(), burst.size(), MSG_NOSIGNAL);
            dropped = n < 0 && errno != EAGAIN && errno != EINTR;
            if (n < 0 && errno == EAGAIN)
                ::poll(nullptr, 0, 5);
        }
        ASSERT_TRUE(reader.send(mbap(++tid, readRequest)));
        ASSERT_EQ(reader.receiveFrame(5s), expectedFrame(tid)) << "reader held up";
    }
    ::close(hog);
    EXPECT_TRUE(dropped) << "the client that never reads was kept";
    // The idle connections were not starved either: the first and the last answer.
    for (auto* client : {idle.front().get(), idle.back().get()}) {
        ASSERT_TRUE(client->send(mbap(7, readRequest)));
        EXPECT_EQ(client->receiveFrame(5s), expectedFrame(7));
    }
}

TEST(DriveSimLoad, IdleClientsTimeOutBusyOnesStay)
{
    Sim sim({"--tcp", "127.0.0.1:0", "--idle-timeout-ms", "1000"});
    ASSERT_TRUE(sim.ready);
    RawTcp idle(sim.port), busy(sim.port);
    ASSERT_TRUE(idle.ok() && busy.ok());
    const auto until = std::chrono::steady_clock::now() + 2500ms;
    for (std::uint16_t tid = 1; std::chrono::steady_clock::now() < until; ++tid) {
        ASSERT_TRUE(busy.send(mbap(tid, readRequest)));
        ASSERT_EQ(busy.receiveFrame(5s), expectedFrame(tid));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(idle.closedByPeer(10s));
}

} // namespace
