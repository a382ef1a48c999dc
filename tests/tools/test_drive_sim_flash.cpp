// kavrel-drive-sim's side of firmware download: libmodbus plays the host,
// telegram by telegram, and the simulator refuses what comes out of order.
#include <cerrno>
#include <gtest/gtest.h>
#include <modbus.h>
#include <thread>
#include "support/SrecFiles.h"
#include "test_drive_sim_support.h"

using namespace simtest;
using namespace kavreltest;

namespace {

struct Client {
    modbus_t* ctx;
    bool connected;
    explicit Client(modbus_t* c) : ctx(c)
    {
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 5, 0);
        connected = modbus_connect(ctx) == 0;
    }
    ~Client() { modbus_close(ctx), modbus_free(ctx); }
    // The erase mask, or -errno.
    long poll()
    {
        std::uint16_t five[2] = {0, 5}, mask[2] = {0xFFFF, 0xFFFF};
        if (modbus_write_registers(ctx, regCommand, 2, five) != 2 || modbus_read_registers(ctx, regData, 2, mask) != 2)
            return -errno;
        return mask[1] | (static_cast<long>(mask[0]) << 16);
    }
    // Runs telegrams from..to (none a poll); 0, or the errno of the first refused one, whose index goes to at.
    int run(const std::vector<Telegram>& t, std::size_t& at, std::size_t from = 0, std::size_t to = SIZE_MAX)
    {
        std::uint16_t w[2];
        for (at = from; at < std::min(to, t.size()); ++at)
            if (t[at].kind == Kind::read ? modbus_read_registers(ctx, t[at].reg, 2, w) != 2
                                         : modbus_write_registers(ctx, t[at].reg, static_cast<int>(t[at].words.size()),
                                                                  t[at].words.data()) != static_cast<int>(t[at].words.size()))
                return errno;
        return 0;
    }
};

} // namespace

TEST(DriveSimFlash, TelegramsOutOfOrderAreRefusedUntilAReset)
{
    TempDir dir;
    auto fifo = dir.str() + "control";
    Sim sim({"--tcp", "127.0.0.1:0", "--control", fifo, "--erase-stuck"});
    ASSERT_TRUE(sim.ready);
    Client host(modbus_new_tcp("127.0.0.1", sim.port));
    const auto full = download({{0x8000, patternBytes(600, 1)}}, {{0x3E0000, patternBytes(5000, 2)}}, 1);
    // A block of three words after a record that announced two.
    Script over{full.before(Kind::api)};
    over.t.insert(over.t.end(), {{Kind::api, regCommand, {0, 1}}, {Kind::api, regData, {0, 2, 0, 0x100}},
                                 {Kind::api, regCommand, {0, 2}}, {Kind::api, regData, {0x0102, 0x0304, 0x0506}}});
    struct Case { const char* what; std::vector<Telegram> t; int error; } cases[] = {
        {"request without test word", {full.t[1]}, EMBXILVAL},
        {"read in the flash mode", full.before(Kind::api), EMBXSBUSY},
        {"jump before any loader block", full.before(Kind::api), EMBXILVAL},
        {"block beyond its record", over.t, EMBXILVAL},
        {"data while the erase runs", full.before(Kind::poll), EMBXILVAL},
        {"test word after the jump", full.before(Kind::erase), EMBXILVAL},
    };
    cases[1].t.push_back({Kind::read, regParameter, {}});
    cases[2].t.push_back(full.t[full.first(Kind::jump)]);
    cases[4].t.push_back({Kind::data, regCommand, {0, 6}});
    cases[5].t.push_back(full.t[0]);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
        std::size_t at = 0;
        EXPECT_EQ(host.run(c.t, at), c.error);
        EXPECT_EQ(at, c.t.size() - 1);
    }
    // Stuck erase: the mask stays whole however long the host polls.
    ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
    std::size_t at = 0;
    ASSERT_EQ(host.run(full.t, at, 0, full.first(Kind::poll)), 0);
    EXPECT_EQ(host.poll(), 0x3FF);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host.poll(), 0x3FF);
    ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
    EXPECT_EQ(host.run(full.t, at, 0, 2), 0) << "a reset drive takes a new download";
}

// Over a serial line the loader answers at the flash rate only: a frame at the
// old rate after the jump goes unheard.
TEST(DriveSimFlash, PtyLineFollowsTheLoaderRate)
{
    TempDir dir;
    const auto link = dir.str() + "ttyDrive";
    Sim sim({"--serial-pty", link, "--erase-ms", "0"});
    ASSERT_TRUE(sim.ready);
    const auto s = download({{0, patternBytes(300, 1)}}, {{0x100, patternBytes(600, 2)}}, 2);
    const std::size_t jump = s.first(Kind::jump);
    std::size_t at = 0;
    {
        Client slow(modbus_new_rtu(link.c_str(), 19200, 'N', 8, 1));
        ASSERT_TRUE(slow.connected);
        ASSERT_EQ(slow.run(s.t, at, 0, jump + 1), 0) << at;
        modbus_set_response_timeout(slow.ctx, 0, 500000);
        EXPECT_EQ(slow.run(s.t, at, jump + 1, jump + 2), ETIMEDOUT);
    }
    Client fast(modbus_new_rtu(link.c_str(), 38400, 'N', 8, 1));
    ASSERT_EQ(fast.run(s.t, at, jump + 1, s.first(Kind::poll)), 0) << at;
    EXPECT_EQ(fast.poll(), 0) << "the erase is done and heard at 38400";
}
