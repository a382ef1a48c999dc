// kavrel-drive-sim's side of firmware download: libmodbus plays the host,
// telegram by telegram, over TCP and over the simulator's own pseudo-terminal.
#include <cerrno>
#include <gtest/gtest.h>
#include <modbus.h>
#include <thread>
#include "support/SrecFiles.h"
#include "test_drive_sim_support.h"

using namespace simtest;
using kavreltest::SrecSegment;
using kavreltest::SrecStyle;
using kavreltest::TempDir;

namespace {

constexpr int regTest = (1 * 128 + 11) * 2, regRequest = (1 * 128 + 26) * 2;
constexpr int regCommand = (4 * 128 + 13) * 2, regData = (4 * 128 + 14) * 2;
constexpr std::size_t blockBytes = 246, chunkBytes = 4096;

enum class Kind { test, request, api, jump, erase, poll, data, finish, read };

struct Telegram {
    Kind kind;
    int reg = 0;
    std::vector<std::uint16_t> words;
};

struct Script {
    std::vector<Telegram> t;
    void action(Kind k, std::uint16_t code) { t.push_back({k, regCommand, {0, code}}); }
    void record(Kind k, std::uint32_t words, std::uint32_t address)
    {
        t.push_back({k, regData, {static_cast<std::uint16_t>(words >> 16), static_cast<std::uint16_t>(words),
                                  static_cast<std::uint16_t>(address >> 16), static_cast<std::uint16_t>(address)}});
    }
    void block(Kind k, const std::uint8_t* b, std::size_t n)
    {
        Telegram x{k, regData, {}};
        for (std::size_t i = 0; i + 1 < n; i += 2)
            x.words.push_back(static_cast<std::uint16_t>((b[i] << 8) | b[i + 1]));
        t.push_back(x);
    }
    std::size_t first(Kind k, std::size_t nth = 1) const
    {
        for (std::size_t i = 0; i < t.size(); ++i)
            if (t[i].kind == k && --nth == 0)
                return i;
        return t.size();
    }
};

// The host's telegrams: the API always block by block, each with its
// address/length record; the flash data so too in version 1, one record per
// 4096-byte chunk in version 2.
Script download(const std::vector<SrecSegment>& api, const std::vector<SrecSegment>& data, int version)
{
    Script s;
    s.t.push_back({Kind::test, regTest, {0x5445, 0x5354}});
    s.t.push_back({Kind::request, regRequest, {0x0000, 0xA550}});
    auto segments = [&](const std::vector<SrecSegment>& list, Kind k, std::uint16_t recordAction, bool chunkRecords) {
        for (const auto& seg : list)
            for (std::size_t c = 0; c < seg.bytes.size(); c += chunkBytes) {
                std::size_t chunk = std::min(chunkBytes, seg.bytes.size() - c);
                std::uint32_t address = seg.address + static_cast<std::uint32_t>(c / 2);
                if (chunkRecords) {
                    s.action(k, recordAction);
                    s.record(k, static_cast<std::uint32_t>(chunk / 2), address);
                    s.action(k, static_cast<std::uint16_t>(recordAction + 1));
                }
                for (std::size_t b = 0; b < chunk; b += blockBytes) {
                    std::size_t n = std::min(blockBytes, chunk - b);
                    if (!chunkRecords) {
                        s.action(k, recordAction);
                        s.record(k, static_cast<std::uint32_t>(n / 2), address + static_cast<std::uint32_t>(b / 2));
                        s.action(k, static_cast<std::uint16_t>(recordAction + 1));
                    }
                    s.block(k, &seg.bytes[c + b], n);
                }
            }
    };
    segments(api, Kind::api, 1, false);
    s.action(Kind::jump, 3);
    s.action(Kind::erase, 4);
    s.t.push_back({Kind::erase, regData, {0x0000, 0x03FF}});
    s.t.push_back({Kind::poll, 0, {}});
    segments(data, Kind::data, 6, version == 2);
    s.action(Kind::finish, 8);
    return s;
}

struct Client {
    modbus_t* ctx;
    bool connected;
    explicit Client(modbus_t* c, int timeoutMs = 2000) : ctx(c)
    {
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 0, static_cast<std::uint32_t>(timeoutMs) * 1000);
        connected = modbus_connect(ctx) == 0;
    }
    ~Client()
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    // The erase mask, or -errno.
    long poll()
    {
        std::uint16_t five[2] = {0, 5}, mask[2] = {0xFFFF, 0xFFFF};
        if (modbus_write_registers(ctx, regCommand, 2, five) != 2 || modbus_read_registers(ctx, regData, 2, mask) != 2)
            return -errno;
        return mask[1] | (static_cast<long>(mask[0]) << 16);
    }
    // Runs telegrams from..to; 0, or the errno of the first refused one, whose index goes to at.
    int run(const Script& s, std::size_t& at, std::size_t from = 0, std::size_t to = SIZE_MAX)
    {
        for (at = from; at < std::min(to, s.t.size()); ++at) {
            const auto& x = s.t[at];
            if (x.kind == Kind::poll) {
                long mask = -ETIMEDOUT;
                for (int i = 0; i < 250 && mask != 0; ++i, std::this_thread::sleep_for(20ms))
                    if ((mask = poll()) < 0)
                        return static_cast<int>(-mask);
                if (mask != 0)
                    return ETIMEDOUT;
            } else if (x.kind == Kind::read) {
                std::uint16_t w[2];
                if (modbus_read_registers(ctx, x.reg, 2, w) != 2)
                    return errno;
            } else if (modbus_write_registers(ctx, x.reg, static_cast<int>(x.words.size()), x.words.data()) !=
                       static_cast<int>(x.words.size())) {
                return errno;
            }
        }
        return 0;
    }
};

struct Files {
    TempDir dir;
    std::vector<SrecSegment> api{{0x8000, kavreltest::patternBytes(600, 1)}};
    std::vector<SrecSegment> data{{0x3E0000, kavreltest::patternBytes(5000, 2)},
                                  {0x3E4000, kavreltest::patternBytes(300, 3)}};
    std::filesystem::path apiFile = dir.path() / "api.s19", dataFile = dir.path() / "image.s37";
    Files(const SrecStyle& apiStyle = {}, const SrecStyle& dataStyle = {})
    {
        data.push_back(kavreltest::checksumSegment(data));
        EXPECT_EQ(kavreltest::writeApiFile(apiFile, 1, api, apiStyle), "");
        EXPECT_EQ(kavreltest::writeSrec(dataFile, data, dataStyle), "");
    }
};

std::string finishLine(Sim& sim)
{
    for (int i = 0; i < 5; ++i) {
        auto line = sim.process->readLine(5s);
        if (line.rfind("flash 1 finished", 0) == 0 || line.empty())
            return line;
    }
    return {};
}

} // namespace

TEST(DriveSimFlash, TcpDownloadDumpsTheImageInEitherFraming)
{
    SrecStyle s19, s28;
    s19.addressBytes = 2;
    s19.recordBytes = 250;
    s19.s0 = "loader";
    s19.dataCount = s19.crlf = s19.lowerCase = true;
    s28.addressBytes = 3;
    s28.recordBytes = 16;
    s28.start = 0x3E0000;
    s28.headerLines = {"#VERS=0102", "#FAPI=x"};
    struct Case {
        int version;
        SrecStyle api, data;
        const char* counts;
    } cases[] = {{1, {}, {}, "data 5304 bytes in 24 records and 24 blocks"},
                 {2, s19, s28, "data 5304 bytes in 4 records and 24 blocks"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        Files f(c.api, c.data);
        Sim sim({"--tcp", "127.0.0.1:0", "--flash-dump", f.dir.str() + "dump", "--erase-ms", "60"});
        ASSERT_TRUE(sim.ready);
        Client host(modbus_new_tcp("127.0.0.1", sim.port));
        ASSERT_TRUE(host.connected);
        auto script = download(f.api, f.data, c.version);
        std::size_t at = 0;
        ASSERT_EQ(host.run(script, at), 0) << "telegram " << at << ": " << modbus_strerror(errno);
        EXPECT_NE(finishLine(sim).find(c.counts), std::string::npos);
        EXPECT_EQ(kavreltest::srecCompare(f.dataFile, f.dir.path() / "dump/flash-1.srec"), "");
        EXPECT_EQ(kavreltest::srecCompare(f.apiFile, f.dir.path() / "dump/api-1.srec"), "");
        // Back in the running firmware: parameters answer again, a new download may start.
        std::uint16_t w[2];
        EXPECT_EQ(modbus_read_registers(host.ctx, (1 * 128 + 1) * 2, 2, w), 2);
        EXPECT_EQ(host.run(script, at, 0, 2), 0);
    }
}

TEST(DriveSimFlash, EachRefusedStepAnswersWithAnException)
{
    Files f;
    auto script = download(f.api, f.data, 2);
    auto wrongSum = f.data;
    wrongSum.back().bytes[3] ^= 1;
    struct Case {
        const char* option;
        std::size_t at;
        int error;
        const std::vector<SrecSegment>* data;
    } cases[] = {
        {"test", script.first(Kind::test), EMBXSFAIL, &f.data},
        {"request", script.first(Kind::request), EMBXSFAIL, &f.data},
        {"api", script.first(Kind::api) + 3, EMBXSFAIL, &f.data}, // the first block, after its record
        {"jump", script.first(Kind::jump), EMBXSFAIL, &f.data},
        {"erase", script.first(Kind::erase), EMBXSFAIL, &f.data},
        {"data:2", script.first(Kind::data) + 4, EMBXSFAIL, &f.data}, // record, action, block 1, block 2
        {"finish", script.first(Kind::finish), EMBXSFAIL, &f.data},
        {nullptr, script.first(Kind::finish), EMBXMEMPAR, &wrongSum},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option ? c.option : "wrong checksum");
        std::vector<std::string> args{"--tcp", "127.0.0.1:0", "--erase-ms", "0"};
        if (c.option)
            args.insert(args.end(), {"--flash-refuse", c.option});
        Sim sim(args);
        ASSERT_TRUE(sim.ready);
        Client host(modbus_new_tcp("127.0.0.1", sim.port));
        std::size_t at = 0;
        EXPECT_EQ(host.run(download(f.api, *c.data, 2), at), c.error);
        EXPECT_EQ(at, c.at);
    }
}

TEST(DriveSimFlash, TelegramsOutOfOrderAreRefusedUntilAReset)
{
    TempDir dir;
    auto fifo = dir.str() + "control";
    Sim sim({"--tcp", "127.0.0.1:0", "--control", fifo, "--erase-stuck"});
    ASSERT_TRUE(sim.ready);
    Client host(modbus_new_tcp("127.0.0.1", sim.port));
    Files f;
    auto full = download(f.api, f.data, 1);
    auto prefix = [&](Kind k) { return std::vector<Telegram>(full.t.begin(), full.t.begin() + full.first(k)); };
    const std::uint8_t three[6] = {1, 2, 3, 4, 5, 6};
    struct Case {
        const char* what;
        std::vector<Telegram> before;
        Telegram wrong;
        int error;
    } cases[] = {
        {"request without test word", {}, full.t[1], EMBXILVAL},
        {"read in the flash mode", prefix(Kind::api), {Kind::read, (1 * 128 + 1) * 2, {}}, EMBXSBUSY},
        {"jump before any loader block", prefix(Kind::api), full.t[full.first(Kind::jump)], EMBXILVAL},
        {"block beyond its record", prefix(Kind::api), {}, EMBXILVAL},
        {"data while the erase runs", prefix(Kind::poll), {Kind::data, regCommand, {0, 6}}, EMBXILVAL},
        {"test word after the jump", prefix(Kind::erase), full.t[0], EMBXILVAL},
    };
    // A block of three words after a record that announced two.
    Script over;
    over.t = prefix(Kind::api);
    over.action(Kind::api, 1);
    over.record(Kind::api, 2, 0x100);
    over.action(Kind::api, 2);
    over.block(Kind::api, three, 6);
    cases[3].before.assign(over.t.begin(), over.t.end() - 1);
    cases[3].wrong = over.t.back();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
        Script s;
        s.t = c.before;
        s.t.push_back(c.wrong);
        std::size_t at = 0;
        EXPECT_EQ(host.run(s, at), c.error);
        EXPECT_EQ(at, c.before.size());
    }
    // Stuck erase: the mask stays whole however long the host polls.
    ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
    std::size_t at = 0;
    ASSERT_EQ(host.run(full, at, 0, full.first(Kind::poll)), 0);
    EXPECT_EQ(host.poll(), 0x3FF);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host.poll(), 0x3FF);
    ASSERT_TRUE(kavreltest::sendControl(fifo, *sim.process, "reset 1"));
    EXPECT_EQ(host.run(full, at, 0, 2), 0) << "a reset drive takes a new download";
}

TEST(DriveSimFlash, EraseMaskClearsOverTheEraseTime)
{
    Files f;
    auto script = download(f.api, f.data, 1);
    for (const char* ms : {"0", "1000"}) {
        SCOPED_TRACE(ms);
        Sim sim({"--tcp", "127.0.0.1:0", "--erase-ms", ms});
        ASSERT_TRUE(sim.ready);
        Client host(modbus_new_tcp("127.0.0.1", sim.port));
        std::size_t at = 0;
        ASSERT_EQ(host.run(script, at, 0, script.first(Kind::poll)), 0);
        long first = host.poll();
        if (std::string(ms) == "0") {
            EXPECT_EQ(first, 0);
        } else {
            EXPECT_GT(first, 0);
            EXPECT_EQ(first & ~0x3FF, 0);
        }
        EXPECT_EQ(host.run(script, at, script.first(Kind::poll)), 0);
    }
}

TEST(DriveSimFlash, PtyLineFollowsTheLoaderRate)
{
    Files f;
    auto link = f.dir.str() + "ttyDrive";
    Sim sim({"--serial-pty", link, "--flash-dump", f.dir.str(), "--erase-ms", "0"});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.lines[0], "serial-pty " + link);
    auto script = download(f.api, f.data, 2);
    std::size_t jump = script.first(Kind::jump), at = 0;
    std::uint16_t w[2];
    {
        Client slow(modbus_new_rtu(link.c_str(), 19200, 'N', 8, 1));
        ASSERT_TRUE(slow.connected);
        ASSERT_EQ(slow.run(script, at, 0, jump + 1), 0) << at;
        // The loader listens at 38400 from now on.
        modbus_set_response_timeout(slow.ctx, 0, 500000);
        EXPECT_EQ(slow.run(script, at, jump + 1, jump + 2), ETIMEDOUT);
    }
    {
        Client fast(modbus_new_rtu(link.c_str(), 38400, 'N', 8, 1), 1000);
        ASSERT_EQ(fast.run(script, at, jump + 1), 0) << at;
        EXPECT_EQ(modbus_read_registers(fast.ctx, (1 * 128 + 1) * 2, 2, w), -1) << "the firmware is back at 19200";
    }
    Client slow(modbus_new_rtu(link.c_str(), 19200, 'N', 8, 1), 1000);
    EXPECT_EQ(modbus_read_registers(slow.ctx, (1 * 128 + 1) * 2, 2, w), 2);
    EXPECT_EQ(kavreltest::srecCompare(f.dataFile, f.dir.path() / "flash-1.srec"), "");
}
