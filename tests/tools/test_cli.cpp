// The kavrel command line against real peers: the simulator over Modbus TCP,
// Modbus RTU and Vorlane on socat pairs and over CANopen through kavrel-canbus,
// a scripted Vorlane drive that records each telegram, and a python-can drive.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <set>

#include "support/SrecFiles.h"
#include "support/VorlanePeer.h"
#include "tools/canopen_peers.h"
#include "tools/test_drive_sim_support.h"

using namespace simtest;
using Args = std::vector<std::string>;

namespace {

std::string joined(const Args& parts, const char* end)
{
    return std::accumulate(parts.begin(), parts.end(), std::string(), [&](auto all, auto& p) { return all + p + end; });
}

// Runs kavrel; afterFirstLine, when given, runs once the first line is in.
CliRun runCli(Args args, const std::function<void()>& afterFirstLine = {})
{
    return runKavrel(std::move(args), [&](kavreltest::ChildProcess&, const std::string&, std::size_t count) {
        if (afterFirstLine && count == 1)
            afterFirstLine();
    });
}

// The simulator serving one protocol's drives, and the kavrel flags that reach them.
struct Bench {
    explicit Bench(const std::string& protocol)
    {
        static const std::map<std::string, Args> drives{
            {"ModbusTCP", {"--ids", "1-3", "--exception-on", "2.2", "--tcp", "127.0.0.1:0"}},
            {"ModbusRS485", {"--ids", "1-3"}}, {"VorlaneRS485", {"--ids", "1-3,7"}},
            {"CanOpen_QTA", {"--ids", "3,5,9", "--family", "qta"}}, {"CanOpen_KVX", {"--ids", "12,40", "--family", "kvx"}}};
        Args args = drives.at(protocol);
        args.insert(args.end(), {"--control", fifo()});
        flags = {"--protocol", protocol};
        if (protocol.rfind("CanOpen", 0) == 0) {
            bus = std::make_unique<kavreltest::CanBusProcess>();
            args.insert(args.end(), {"--canopen", bus->endpoint()});
            flags.insert(flags.end(), {"--can", bus->endpoint()});
        } else if (protocol != "ModbusTCP") {
            pair = std::make_unique<kavreltest::SocatPair>();
            args.insert(args.end(), {protocol == "ModbusRS485" ? "--serial" : "--vorlane-serial", pair->b()});
            flags.insert(flags.end(), {"--serial", pair->a()});
            if (protocol == "ModbusRS485")
                flags.insert(flags.end(), {"--baud", "19200", "--format", "N,8,1"});
        }
        sim = std::make_unique<Sim>(args);
        if (protocol == "ModbusTCP")
            flags.insert(flags.end(), {"--host", "127.0.0.1", "--tcp-port", std::to_string(sim->port)});
    }
    bool ok() const { return sim->ready; }
    std::string fifo() const { return dir.str() + "control"; }
    CliRun cli(Args command, bool json = true, const std::function<void()>& afterFirstLine = {})
    {
        command.insert(command.begin(), {"--data-path", dir.str() + "data"});
        command.insert(command.end(), flags.begin(), flags.end());
        if (json)
            command.push_back("--json");
        return runCli(command, afterFirstLine);
    }
    bool control(const std::string& command) { return kavreltest::sendControl(fifo(), *sim->process, command); }

    kavreltest::TempDir dir;
    std::unique_ptr<kavreltest::SocatPair> pair;
    std::unique_ptr<kavreltest::CanBusProcess> bus;
    std::unique_ptr<Sim> sim;
    Args flags;
};

// One bench per protocol, started when a test first names it.
struct Benches {
    Bench& operator[](const std::string& protocol)
    {
        auto& bench = all[protocol];
        if (!bench)
            bench = std::make_unique<Bench>(protocol);
        EXPECT_TRUE(bench->ok()) << protocol;
        return *bench;
    }
    std::map<std::string, std::unique_ptr<Bench>> all;
};

std::string value(int id, int index, int sub, int size, const std::string& v)
{
    return R"({"id":)" + std::to_string(id) + R"(,"index":)" + std::to_string(index) + R"(,"subindex":)" +
           std::to_string(sub) + R"(,"size":)" + std::to_string(size) + R"(,"value":)" + v + "}";
}

} // namespace

TEST(Cli, ProtocolListsAndTheDataPath)
{
    kavreltest::TempDir dir;
    const std::string data = dir.str() + "data", bad = dir.write("plainfile", "x").string() + "/sub";
    const std::string all = R"({"protocols":["ModbusRS485","DeviceNetCan","VorlaneRS485","CanOpen_QTA","CanOpen_KVX")";
    EXPECT_EQ(runCli({"--data-path", data, "protocols", "--json"}).out(), all + ",\"ModbusTCP\"]}\n");
    EXPECT_TRUE(std::filesystem::is_directory(data)) << "the data path is made when missing";
    EXPECT_EQ(runCli({"--data-path", data, "protocols", "--scan", "--json"}).out(), all + "]}\n");
    const auto run = runCli({"--data-path", bad, "protocols", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out().rfind(R"({"error":{"code":"0x80004005","text":"cannot create the data path)", 0), 0u) << run.out();
    EXPECT_TRUE(runCli({"--data-path", data, "version", "--json"}).has(R"("language":"EN")"));
    // The adapters of each KAVREL_CAN endpoint, PEAK first, with the ids an interface gives them.
    kavreltest::CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    kavreltest::ScopedEnv can("KAVREL_CAN", bus.endpoint());
    EXPECT_TRUE(runCli({"--data-path", data, "ports", "--json"})
                    .has(R"("open":"peak:)" + bus.endpoint() + R"(","interfaceId":1},{"name":"IXXAT HW1 )" +
                         bus.endpoint() + R"(","open":"ixxat:)" + bus.endpoint() + R"(","interfaceId":100}]})"));
}

// flash-info reads an srec_cat image without a bus: segments in 4096-byte chunks,
// the drive's checksum (computed here independently) and the loader; --srec writes
// it all back, which srec_cmp compares; byte-addressed records are warned about.
TEST(Cli, FlashInfoShowsAndWritesBackTheImageTheDriveWouldGet)
{
    using namespace kavreltest;
    TempDir dir;
    const std::vector<SrecSegment> image{{0x100, patternBytes(5000, 3)}, {0x8000, patternBytes(100, 4)}};
    const auto file = writeSrec(dir, "img.s", image, "-address-length=3", "#FILE=image\n#KOMP=3\n#FAPI=DRV12\n");
    const auto loader = writeSrec(dir, "ldr.s", {{0, patternBytes(300, 5)}}, "", "#FLASHPROTOCOLVERSION=2\n");
    const auto sum = checksumSegment(image).bytes;
    const std::string kavrel = binDir() + "/kavrel --data-path " + dir.str() + "data ", args = " --file " + file + " --api " + loader;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", sum[0], sum[1], sum[2], sum[3]);
    std::string out;
    ASSERT_EQ(shell(kavrel + "flash-info --json --srec " + dir.str() + "back.s" + args, &out), 0) << out;
    EXPECT_EQ(out, R"({"header":{"file":"image","version":"unknown","programVersion":"unknown","components":[3],"date":"",)"
                   R"("description":"","apiName":"DRV12"},"segments":[{"start":256,"bytes":5000,"chunks":2},)"
                   R"({"start":32768,"bytes":100,"chunks":1}],"checksum":{"added":true,"bytes":")" + std::string(hex) +
                       R"(","value":)" + std::to_string(sum[2] << 24 | sum[3] << 16 | sum[0] << 8 | sum[1]) +
                       R"(},"api":{"file":")" + loader + R"(","protocolVersion":2,"segments":[{"start":0,"bytes":300,"chunks":1}]}})" "\n");
    auto withSum = image;
    withSum.push_back(checksumSegment(image));
    EXPECT_EQ(srecCompare(dir.str() + "back.s", writeSrec(dir, "expected.s", withSum)), "");

    const auto bytewise = writeSrec(dir, "bytes.s", {{0x100, patternBytes(64, 6)}, {0x140, patternBytes(8, 7)}});
    out.clear();
    EXPECT_EQ(shell(kavrel + "flash-info --file " + bytewise + " --api " + loader, &out), 0) << out;
    for (const char* part : {"look byte-addressed", "segment 1:     word 0x000100, 64 bytes, 1 chunk(s)", "protocol version 2"})
        EXPECT_NE(out.find(part), std::string::npos) << part << " in\n" << out;
    out.clear();
    EXPECT_EQ(shell(kavrel + "flash-info --json --file " + dir.str() + "none.s", &out), 1);
    EXPECT_NE(out.find("none.s"), std::string::npos) << out;
}

TEST(Cli, JsonDocumentsOfEveryProtocol)
{
    Benches benches;
    const struct { const char* protocol; Args command; int status; std::string json; } cases[] = {
        {"ModbusTCP", {"identify", "--id", "2"}, 0,
         R"({"id":2,"vendorName":"Vorlane Drives GmbH","originalVendorName":"VORLANE","productCode":"VDX-2040-A",)"
         R"("originalProductCode":"VDX 2040 A","version":"3.07","motorType":"00004711","serialNumber":"12345602",)"
         R"("familyCode":"VDX-204","deviceDate":"0x20261207"})"},
        // identify and read connect without node guarding: its interval 22.6 stays 0.
        {"ModbusTCP", {"read", "--id", "2", "--param", "22.6", "--size", "2"}, 0, value(2, 22, 6, 2, "0")},
        {"ModbusTCP", {"read", "--id", "3", "--param", "1.23"}, 0, value(3, 1, 23, 4, "12345603")},
        {"ModbusTCP", {"write", "--id", "1", "--param", "2.0", "--value", "0x1234"}, 0, value(1, 2, 0, 4, "4660")},
        {"ModbusTCP", {"read", "--id", "1", "--param", "2.0", "--size", "2"}, 0, value(1, 2, 0, 2, "4660")},
        {"ModbusTCP", {"read", "--id", "2", "--param", "2.0"}, 0, value(2, 2, 0, 4, "0")},
        {"ModbusTCP", {"write", "--id", "1", "--param", "200.5", "--value", "4294967295"}, 0,
         value(1, 200, 5, 4, "4294967295")},
        {"ModbusTCP", {"read", "--id", "1", "--param", "200.5"}, 0, value(1, 200, 5, 4, "4294967295")},
        {"ModbusTCP", {"read", "--id", "1", "--param", "2.2"}, 1,
         R"J({"error":{"code":"0x80040501","text":"Server device failure. (drive error 0x00000004)"}})J"},
        {"ModbusTCP", {"write", "--id", "1", "--param", "1.23", "--value", "1"}, 1,
         R"J({"error":{"code":"0x80040502","text":"Illegal data value: the value is not allowed. (drive error 0x00000003)"}})J"},
        {"VorlaneRS485", {"identify", "--id", "3", "--baud", "AUTO"}, 0,
         R"({"id":3,"vendorName":"Vorlane Drives GmbH","originalVendorName":"Vorlane","productCode":"VDX 2040",)"
         R"("originalProductCode":"VDX 2040","version":"PR307V1018","motorType":"00004711","serialNumber":"12345603",)"
         R"("familyCode":"VDX204","deviceDate":"0x56445820"})"},
        {"VorlaneRS485", {"write", "--id", "2", "--param", "2.1", "--value", "77"}, 0, value(2, 2, 1, 4, "77")},
        {"VorlaneRS485", {"read", "--id", "2", "--param", "2.1"}, 0, value(2, 2, 1, 4, "77")},
        {"VorlaneRS485", {"read", "--id", "1", "--param", "2.1"}, 0, value(1, 2, 1, 4, "100")},
        // Fragments of what the CANopen drives tell.
        {"CanOpen_QTA", {"identify", "--id", "3"}, 0,
         R"("originalVendorName":"Vorlane GmbH","productCode":"QTA-2040","originalProductCode":"QTA-2040")"},
        {"CanOpen_QTA", {"identify", "--id", "9", "--adapter", "ixxat"}, 0, R"("serialNumber":"123456798")"},
        {"CanOpen_KVX", {"identify", "--id", "12"}, 0,
         R"("originalVendorName":"Halvorn GmbH","productCode":"KVX-4400-A01","originalProductCode":"KVX-4400-A01")"},
        {"CanOpen_KVX", {"identify", "--id", "40", "--adapter", "ixxat"}, 0, R"("serialNumber":"22334440")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.command[0] + " " + c.command[2]);
        const auto run = benches[c.protocol].cli(c.command);
        EXPECT_EQ(run.status, c.status);
        if (c.json[0] == '{') {
            EXPECT_EQ(run.out(), c.json + "\n");
        } else {
            EXPECT_TRUE(run.has(c.json)) << run.out();
        }
    }
    // Over both adapters, a write of a two-byte parameter sends what the drive's reply says it holds.
    for (const auto& [protocol, id] : {std::pair{"CanOpen_QTA", "9"}, {"CanOpen_KVX", "12"}})
        for (const char* adapter : {"peak", "ixxat"}) {
            SCOPED_TRACE(std::string(protocol) + " " + adapter);
            auto& bench = benches[protocol];
            auto cli = [&](Args command) {
                command.insert(command.end(), {"--adapter", adapter, "--id", id});
                return bench.cli(command);
            };
            EXPECT_EQ(cli({"write", "--param", "2.0", "--value", "0x12345678"}).status, 0);
            EXPECT_TRUE(cli({"read", "--param", "2.0"}).has(R"("value":305419896})"));
            EXPECT_EQ(cli({"write", "--param", "2.1", "--value", "0xABCDEF"}).status, 0);
            EXPECT_TRUE(cli({"read", "--param", "2.1", "--size", "2"}).has(R"("value":52719})")); // 0xCDEF
        }
}

TEST(Cli, ScanPrintsEachIdThenTheFoundOnesAndKeepsTheRange)
{
    Benches benches;
    const struct {
        const char* protocol;
        int first, last;
        std::set<int> present;
    } cases[] = {{"ModbusTCP", 2, 5, {2, 3}}, {"VorlaneRS485", 1, 31, {1, 2, 3, 7}}, {"CanOpen_QTA", 1, 127, {3, 5, 9}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        std::string expected, found;
        for (int id = c.first; id <= c.last; ++id)
            expected += R"({"event":"stepped","id":)" + std::to_string(id) + R"(,"found":)" +
                        (c.present.count(id) ? "true" : "false") + "}\n";
        for (int id : c.present)
            found += (found.empty() ? "" : ",") + std::to_string(id);
        expected += R"({"event":"finished","found":[)" + found + "]}\n";
        auto& bench = benches[c.protocol];
        auto run = bench.cli({"scan", "--range", std::to_string(c.first) + "-" + std::to_string(c.last)});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out(), expected);
        if (c.last - c.first < 10) {
            run = bench.cli({"scan"}); // the range given is stored
            EXPECT_EQ(run.out(), expected);
        }
    }
}

TEST(Cli, GuardReportsTheSilencedDriveOnce)
{
    const struct {
        const char *protocol, *ids, *listed, *silenced, *still;
    } cases[] = {{"ModbusRS485", "1-3", "1, 2, 3", "2", "1, 3"}, {"VorlaneRS485", "1-3", "1, 2, 3", "2", "1, 3"},
                 {"CanOpen_KVX", "12,40", "12, 40", "40", "12"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        Bench bench(c.protocol);
        ASSERT_TRUE(bench.ok());
        // Silenced only once every drive is connected and guarded.
        const auto run = bench.cli({"guard", "--ids", c.ids, "--interval", "300", "--duration", "4"}, false,
                                   [&] { EXPECT_TRUE(bench.control(std::string("silence ") + c.silenced)); });
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out(), "guarding " + std::string(c.listed) + " every 300 ms for 4 s\nid " + c.silenced +
                                 ": node guard timeout\nguarding ended: " + c.still + " still answering, 1 timed out\n");
    }
}

TEST(Cli, UploadWritesTheWholeDataAsBytesOrAsHexText)
{
    Benches benches;
    const std::string hex = "00112233445566778899AABBCCDDEEFF"
                            "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                            "CAFE";
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    const struct {
        const char* protocol;
        const char* id;
        Args extra;
        std::string content, packets;
    } cases[] = {{"ModbusTCP", "2", {}, bytes, "3"}, {"ModbusTCP", "2", {"--hex"}, hex, "3"},
                 {"CanOpen_KVX", "12", {}, "", "17"}}; // 31 words: sixteen reads of 4.12, then the end
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + (c.extra.empty() ? "" : " --hex"));
        auto& bench = benches[c.protocol];
        const std::string out = bench.dir.str() + "upload.bin";
        Args command{"upload", "--id", c.id, "--out", out};
        command.insert(command.end(), c.extra.begin(), c.extra.end());
        const auto run = bench.cli(command);
        ASSERT_EQ(run.status, 0) << run.out();
        const std::string size = std::to_string(c.content.empty() ? std::filesystem::file_size(out) : c.content.size());
        EXPECT_EQ(run.out(), R"({"id":)" + std::string(c.id) + R"(,"packets":)" + c.packets + R"(,"bytes":)" + size +
                                 R"(,"result":"0x00000000","out":")" + out + "\"}\n");
        EXPECT_EQ(c.content.empty() ? "" : kavreltest::readFile(out), c.content);
    }
}

TEST(Cli, BadInputIsRefusedAndFailuresCarryTheirCode)
{
    Benches benches;
    kavreltest::TempDir dir;
    const std::string x = dir.str() + "x";
    const std::string nobody = std::to_string(kavreltest::freeTcpPort());
    // protocol: the bench whose flags are added; none for a complete command line.
    const struct { const char* protocol; Args args; int status; const char* code; std::string text; } cases[] = {
        {"ModbusTCP", {"scan", "--range", "5-x"}, 2, "usage", "is not a range of ids"},
        {"ModbusTCP", {"scan", "--range", "0-300"}, 2, "usage", "is not a range of ids"},
        {"ModbusTCP", {"scan", "--bogus"}, 2, "usage", "--bogus"},
        {"ModbusTCP", {"guard", "--ids", "1", "--interval", "70000"}, 2, "usage", "--interval must be"},
        {"ModbusTCP", {"guard", "--ids", "abc"}, 2, "usage", "is not a list of ids"},
        {"ModbusTCP", {"guard", "--ids", "1", "--duration", "-1"}, 2, "usage", "--duration must be"},
        {"ModbusTCP", {"upload", "--id", "0", "--out", x}, 2, "usage", "--id must name a drive"},
        {"ModbusTCP", {"upload", "--out", x}, 2, "usage", "--id is required"},
        {"ModbusTCP", {"read", "--id", "1", "--param", "1.x"}, 2, "usage", "--param '1.x'"},
        {"ModbusTCP", {"identify", "--id", "258"}, 2, "usage", "id 258 is outside 1-248 for ModbusTCP"},
        {"ModbusTCP", {"upload", "--id", "9", "--out", x}, 1, "0x80040402", ""},
        {nullptr, {"identify", "--protocol", "ModbusTCP", "--host", "127.0.0.1", "--tcp-port", nobody, "--id", "1"}, 1,
         "0x80040404", ""},
        {"VorlaneRS485", {"read", "--id", "5", "--param", "2.5"}, 1, "0x80040402", ""},
        {"VorlaneRS485", {"read", "--id", "40", "--param", "2.5"}, 2, "usage", "id 40 is outside 1-31 for VorlaneRS485\"}}"},
        {"VorlaneRS485", {"scan", "--range", "30-32"}, 2, "usage", "not a range of ids within 1-31"},
        {"VorlaneRS485", {"identify", "--id", "1", "--baud", "12345"}, 2, "usage", "--baud"},
        {"VorlaneRS485", {"identify", "--id", "1", "--format", "N,7,2"}, 2, "usage",
         "--format 'N,7,2' is not offered (E,7,1)"},
        {nullptr, {"identify", "--protocol", "ModbusRS485", "--serial", "/dev/null", "--format", "N,7,2", "--id", "4"}, 2,
         "usage", "--format 'N,7,2' is not offered (N,8,1 E,8,1 O,8,1 N,8,2)"},
        // A port that does not exist is listed because it was named, but cannot be opened.
        {nullptr, {"identify", "--protocol", "VorlaneRS485", "--serial", x, "--id", "4"}, 1, "0x80040404", ""},
        {"CanOpen_QTA", {"upload", "--id", "3", "--out", x}, 1, "0x8004", ""}, // this family has no upload
        {nullptr, {"read", "--protocol", "CanOpen_QTA", "--can", "127.0.0.1:1/can0", "--baud", "1M", "--id", "1",
                   "--param", "1.1"}, 2, "usage", "--baud '1M' is not offered (125k,250k,500k,AUTO)"},
        {nullptr, {"read", "--protocol", "CanOpen_QTA", "--serial", "/dev/null", "--id", "1", "--param", "1.1"}, 2,
         "usage", "takes --can"},
        {nullptr, {"read", "--protocol", "ModbusTCP", "--can", "127.0.0.1:1/can0", "--id", "1", "--param", "1.1"}, 2,
         "usage", "--can and --adapter are for CanOpen"},
        {nullptr, {"read", "--protocol", "CanOpen_KVX", "--can", "127.0.0.1:1/can0", "--id", "1", "--param", "1.1"}, 1,
         "0x80040404", ""},
    };
    for (const auto& c : cases) {
        Args args = c.args;
        SCOPED_TRACE(joined(args, " "));
        if (!c.protocol)
            args.insert(args.begin(), {"--data-path", dir.str() + "data"});
        args.push_back("--json");
        const auto run = c.protocol ? benches[c.protocol].cli(c.args) : runCli(args);
        EXPECT_EQ(run.status, c.status);
        ASSERT_EQ(run.lines.size(), 1u) << run.out();
        EXPECT_EQ(run.lines[0].rfind(std::string(R"({"error":{"code":")") + c.code, 0), 0u) << run.lines[0];
        EXPECT_NE(run.lines[0].find(R"(","text":")"), std::string::npos) << run.lines[0];
        EXPECT_NE(run.lines[0].find(c.text), std::string::npos) << run.lines[0];
    }
    EXPECT_FALSE(std::filesystem::exists(x)) << "a failed upload left a file";
}

TEST(Cli, CanOpenAutoRateFindsADriveAFixedRateMisses)
{
    Bench bench("CanOpen_KVX");
    ASSERT_TRUE(bench.ok());
    ASSERT_TRUE(bench.control("bitrate 12 250000"));
    EXPECT_EQ(bench.cli({"read", "--baud", "125k", "--id", "12", "--param", "2.0"}).status, 1);
    for (const char* adapter : {"peak", "ixxat"}) {
        const auto run = bench.cli({"identify", "--adapter", adapter, "--baud", "AUTO", "--id", "12"});
        EXPECT_EQ(run.status, 0) << adapter;
        EXPECT_TRUE(run.has("KVX-4400-A01")) << run.out();
    }
}

TEST(Cli, PythonCanDriveIsIdentifiedReadAndWritten)
{
    kavreltest::TempDir dir;
    kavreltest::CanBusProcess bus;
    ASSERT_TRUE(bus.ok());
    cantest::PythonDrive drive(bus.port(), "can0", 9);
    ASSERT_TRUE(drive.ok());
    auto cli = [&](const char* protocol, Args command) {
        command.insert(command.begin(), {"--data-path", dir.str() + "data"});
        command.insert(command.end(), {"--protocol", protocol, "--can", bus.endpoint(), "--id", "9", "--json"});
        return runCli(command);
    };
    for (const char* adapter : {"peak", "ixxat"}) {
        SCOPED_TRACE(adapter);
        auto run = cli("CanOpen_QTA", {"identify", "--adapter", adapter});
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.has(R"("originalVendorName":"Vorlane GmbH")") && run.has(R"("version":"P314V2007")")) << run.out();
        EXPECT_EQ(cli("CanOpen_QTA", {"write", "--adapter", adapter, "--param", "2.5", "--value", "777"}).status, 0);
        EXPECT_EQ(cli("CanOpen_QTA", {"read", "--adapter", adapter, "--param", "2.5"}).out(), value(9, 2, 5, 4, "777") + "\n");
        // An SDO abort is a failed access with the abort code's text.
        run = cli("CanOpen_QTA", {"read", "--adapter", adapter, "--param", "7.7"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.has("Object does not exist")) << run.out();
    }
    // The other family does not take this drive.
    const auto run = cli("CanOpen_KVX", {"identify"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.has("0x80040402")) << run.out();
}

TEST(Cli, VorlaneTelegramsOnTheWire)
{
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    kavreltest::VorlanePeer peer(pair.b());
    ASSERT_TRUE(peer.ok());
    peer.addDrive(4);
    const std::pair<std::uint16_t, std::uint32_t> parameters[] = {
        {1, (3u << 16) | 7}, {2, (2u << 16) | 45}, {3, 0x20204B56}, {4, 0x58323020}, {23, 123456}};
    for (const auto& [sub, v] : parameters)
        peer.setParameter(4, 1, sub, v);
    peer.setParameter(4, 5, 13, 4711);
    auto cli = [&](Args command) {
        command.insert(command.begin(), {"--data-path", dir.str() + "data"});
        command.insert(command.end(), {"--protocol", "VorlaneRS485", "--serial", pair.a(), "--baud", "19200", "--id", "4", "--json"});
        return runCli(command);
    };
    auto run = cli({"identify"});
    EXPECT_EQ(run.status, 0);
    for (const char* field : {R"("originalVendorName":"Vorlane")", R"("originalProductCode":"KVX20")",
                              R"("version":"PR307V2045")", R"("motorType":"00004711")", R"("serialNumber":"00123456")"})
        EXPECT_TRUE(run.has(field)) << field << " in " << run.out();
    auto seen = peer.telegrams();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(Args(seen.begin(), seen.begin() + 2), (Args{"#04\r", "090A000100000001\r"}));

    run = cli({"write", "--param", "7.2", "--size", "2", "--value", "0x1234"});
    EXPECT_EQ(run.out(), value(4, 7, 2, 2, "4660") + "\n");
    EXPECT_EQ(peer.parameter(4, 7, 2), 0x1234u);
    EXPECT_EQ(peer.telegrams().back(), "0902000700001234\r");
    peer.setParameter(4, 7, 2, 0xCAFE);
    peer.clearTelegrams();
    EXPECT_EQ(cli({"read", "--param", "7.2", "--size", "2"}).out(), value(4, 7, 2, 2, "51966") + "\n");
    seen = peer.telegrams();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "#04\r");
    EXPECT_EQ(seen.back(), "0202000700000000\r");
}
