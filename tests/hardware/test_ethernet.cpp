// The TCP adapter against real sockets on 127.0.0.1, a peer thread playing the drive. The adapter does not judge
// frames, so plain texts stand in for them; late, cut and overlong answers are met through the Modbus TCP
// protocol in the hostile-server test.
#include <gtest/gtest.h>

#include "HardwareTestLog.h"
#include "LinePeers.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "support/TestSupport.h"

using kavreltest::readFd;
using kavreltest::TcpPeer;
using kavreltest::writeFd;
using E = Kavrel::HardwareInterfaceEthernet;
using namespace std::chrono_literals;

namespace {

struct Adapter {
    E hw;
    explicit Adapter(int port, const std::string& address = "127.0.0.1")
    {
        hw.setParameters(kavreltest::texts({{0, address}, {1, std::to_string(port)}}));
        hw.setReplyTimeout(2000ms);
        hw.setConnectTimeout(2000ms);
    }
    ~Adapter() { hw.closeInterface(); }
    // One exchange; the answer's bytes, or "!<code>" on failure.
    std::string exchange(const std::string& request)
    {
        Kavrel::GenericParameters req, response;
        req.setBytes(request);
        return hw.sendMessage(req, response) == 1 ? response.bytesAsText() : code(hw.getLastErrorCode());
    }
    static std::string code(std::uint32_t c) { return "!" + std::to_string(c); }
};

} // namespace

TEST(Ethernet, PeerClosingMidExchangeGivesReceiveOrSendCodes)
{
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        TcpPeer peer([reset](int fd) {
            readFd(fd, 2000ms, 3);
            linger l{1, 0}; // close with RST
            if (reset)
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        });
        Adapter a(peer.port());
        ASSERT_EQ(a.hw.openInterface(), 1);
        EXPECT_EQ(a.exchange("REQ"), Adapter::code(E::errorReceive));
        std::this_thread::sleep_for(50ms);
        // The peer is gone: no SIGPIPE may end the process, and each try fails with a code.
        for (int i = 0; i < 3; ++i) {
            const std::string r = a.exchange("REQ");
            EXPECT_TRUE(r == Adapter::code(E::errorReceive) || r == Adapter::code(E::errorSend)) << r;
        }
    }
}

TEST(Ethernet, BadEndpointsFailToConnectWithCodeAndConnectingIsBounded)
{
    const std::pair<const char*, std::string> cases[] = {
        {"127.0.0.1", std::to_string(kavreltest::freeTcpPort())}, // nobody listens
        {"", "1502"}, {"256.1.1.1", "1502"}, {"localhost", "1502"}, // no name resolution
        {"127.0.0.1 ", "1502"}, {"1.2.3", "1502"}, {"127.0.0.1", "0"}, {"127.0.0.1", "70000"}, {"127.0.0.1", "50x"},
    };
    for (const auto& [address, port] : cases) {
        SCOPED_TRACE(std::string(address) + ":" + port);
        Adapter a(0);
        a.hw.setParameters(kavreltest::texts({{0, address}, {1, port}}));
        EXPECT_EQ(a.hw.openInterface(), -1);
        EXPECT_EQ(a.hw.getLastErrorCode(), E::errorConnect);
        EXPECT_FALSE(a.hw.getLastErrorText().empty());
        EXPECT_FALSE(a.hw.isOpen());
        EXPECT_EQ(a.exchange("XY"), Adapter::code(E::errorSend));
        EXPECT_EQ(a.hw.closeInterface(), 0);
    }
    // An empty port means 502; whether something serves it here does not matter.
    auto& log = kavreltest::LogLines::instance();
    log.clear();
    E any;
    any.setParameters(kavreltest::texts({{0, "127.0.0.1"}, {1, ""}}));
    any.openInterface();
    any.closeInterface();
    EXPECT_TRUE(log.contains("HardwareInterfaceEthernet::openInterface serverPort = 502"));
    EXPECT_TRUE(log.contains("HardwareInterfaceEthernet::openInterface Address = 127.0.0.1:502"));

    // A listener whose accept queue is full drops further handshakes, so a
    // connect to it hangs until the adapter's bound.
    TcpPeer full([](int) {}, 0, false);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(full.port()));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(100ms);
    Adapter a(full.port());
    a.hw.setConnectTimeout(300ms);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = a.hw.openInterface();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the kernel's own connect time-out is minutes";
    for (int fd : fillers)
        ::close(fd);
    if (result == 1)
        GTEST_SKIP() << "this kernel completed the handshake despite the full queue";
    EXPECT_EQ(result, -1);
    EXPECT_EQ(a.hw.getLastErrorCode(), E::errorConnect);
}

TEST(Ethernet, ListedCopyNeverClosesTheOriginalAndTransfersFromTwoThreadsNeverInterleave)
{
    // An echo peer: each request comes back as its own answer only if no
    // other thread's request slipped in between.
    constexpr int perThread = 40;
    TcpPeer peer([](int fd) {
        for (std::string r; (r = readFd(fd, 3000ms, 6)).size() == 6;)
            writeFd(fd, r);
    });
    Adapter a(peer.port());
    ASSERT_EQ(a.hw.openInterface(), 1);
    EXPECT_EQ(a.exchange("Q00001"), "Q00001");
    {
        Kavrel::HardwareInterfaceList list;
        EXPECT_EQ(a.hw.getAvailableInterfaces(list), 1); // loopback is always up
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->getName() + "|" + list[0]->getNameToOpen(), "Ethernet|Ethernet");
        EXPECT_EQ(list[0]->getMutex(), a.hw.getMutex());
        auto* copy = dynamic_cast<E*>(list[0].get());
        ASSERT_NE(copy, nullptr);
        EXPECT_FALSE(copy->isOpen());
        EXPECT_EQ(copy->closeInterface(), 0);
    } // the copy is destroyed here
    EXPECT_EQ(a.exchange("Q00002"), "Q00002") << "the copy closed the original's socket";
    std::atomic<int> mismatches{0};
    auto run = [&](char tag) {
        for (int i = 0; i < perThread; ++i) {
            char request[7];
            std::snprintf(request, sizeof request, "%c%05d", tag, i);
            mismatches += a.exchange(request) != request;
        }
    };
    std::thread t1(run, 'A'), t2(run, 'B');
    t1.join();
    t2.join();
    EXPECT_EQ(mismatches.load(), 0);
}
