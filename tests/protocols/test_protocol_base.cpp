// The protocol base: range texts, hex conversion, baud-rate detection order,
// the generic identification and the error-text lookups.
#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "protocols/FieldbusProtocol.h"
#include "support/TestSupport.h"

using Kavrel::FieldbusProtocol;

namespace {

// A protocol without a bus: reads come from a table, pings are recorded.
class FakeProtocol : public FieldbusProtocol {
public:
    explicit FakeProtocol(const std::string& name) : FieldbusProtocol(name, constantsFor(name)) {}

    std::int32_t readParameter(std::uint32_t, std::uint32_t, std::uint16_t index, std::uint16_t subindex,
                               std::uint32_t& value) override
    {
        auto it = values.find({index, subindex});
        return it == values.end() ? 0 : (value = it->second, 1);
    }
    std::int32_t writeParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t) override
    {
        return 0;
    }
    std::int32_t initUpload(std::uint32_t) override { return 0; }
    std::int32_t getUpload(std::uint32_t, std::uint32_t, std::uint32_t, std::string&, std::uint32_t&) override { return 0; }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 0; }
    std::uint32_t getMaxBlockSize() override { return 0; }
    std::int32_t ping(std::uint32_t, std::uint32_t baud) override
    {
        pings.push_back(baud);
        return baud == answeringBaud ? 1 : 0;
    }
    std::int32_t readString(std::uint16_t index, std::uint16_t first, std::uint32_t length, std::string& text)
    {
        return readStringParameter(1, index, first, length, text);
    }

    std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint32_t> values;
    std::vector<std::uint32_t> pings;
    std::uint32_t answeringBaud = 0;
};

using Ids = std::set<std::uint32_t>;

TEST(ProtocolBase, SplitRangeTexts)
{
    struct Case { const char* text; std::uint32_t minimum, maximum; Ids expected; } cases[] = {
        {"1-3,5", 1, 31, {1, 2, 3, 5}}, {"5-3", 1, 31, {}}, {"1,,2", 1, 31, {1, 2}}, {",7,", 1, 31, {7}},
        {"3,1-2,2", 1, 31, {1, 2, 3}}, {"1;2", 1, 31, {}}, {"1 - 3", 1, 31, {}}, {"0-10", 1, 31, {}},
        {"31", 1, 31, {31}}, {"32", 1, 31, {}}, {"0", 0, 63, {0}}, {"", 1, 31, {}}, {"-", 1, 31, {}},
        {"1-", 1, 31, {}}, {"-5", 1, 31, {}}, {"1-2-3", 1, 31, {}}, {"abc", 1, 31, {}},
        {"4294967296", 0, 0xffffffffu, {}}, {"99999999999999999999", 1, 31, {}}, {"1-4000000000", 1, 31, {}},
        {"1-4000000000", 0, 0xffffffffu, {}}, {"4294967295", 0, 0xffffffffu, {0xffffffffu}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FieldbusProtocol::splitRange(c.text, c.minimum, c.maximum), c.expected) << "text: " << c.text;
}

TEST(ProtocolBase, RejectedRangeKeepsThePreviousOneAndFlashRangesHaveTheirOwnBounds)
{
    FakeProtocol protocol("VorlaneRS485");
    ASSERT_EQ(protocol.setScanRange("2-4"), 1);
    for (const char* bad : {"", "0-40", "x", "9-1"}) {
        EXPECT_EQ(protocol.setScanRange(bad), 0) << bad;
        EXPECT_EQ(protocol.getScanRange(), "2-4") << bad;
        EXPECT_EQ(protocol.getScanRangeIds(), (Ids{2, 3, 4})) << bad;
    }
    EXPECT_TRUE(protocol.checkScanRange("31"));
    EXPECT_FALSE(protocol.checkScanRange("32"));
    // Modbus may flash the point-to-point address 248 but never scans it.
    FakeProtocol modbus("ModbusRS485");
    EXPECT_EQ(modbus.setScanRange("248"), 0);
    EXPECT_EQ(modbus.setFlashRange("248"), 1);
    EXPECT_EQ(modbus.getFlashRangeIds(), (Ids{248}));
    EXPECT_TRUE(modbus.getScanRangeIds().empty());
    EXPECT_EQ(FieldbusProtocol::create("NoSuchBus"), nullptr);
    EXPECT_TRUE(FieldbusProtocol::constantsFor("NoSuchBus").baudrates.empty());
}

TEST(ProtocolBase, AsciiToBin)
{
    struct Case { const char* text; bool ok; std::vector<std::uint8_t> bytes; } cases[] = {
        {"0300010001", true, {0x03, 0x00, 0x01, 0x00, 0x01}}, {"123", true, {0x12}}, {"aBcD", true, {0xab, 0xcd}},
        {"", true, {}}, {"1", true, {}}, {"12zz", false, {}}, {"g0", false, {}}, {"0x12", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes{0xee};
        EXPECT_EQ(FieldbusProtocol::asciiToBin(bytes, c.text), c.ok) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
    EXPECT_EQ(FieldbusProtocol::binToAscii({0x03, 0xab, 0x00}), "03ab00");
}

TEST(ProtocolBase, DetectBaudrateTriesFromTheLastRate)
{
    struct Case {
        const char* protocol;
        std::uint32_t answering;
        std::vector<std::uint32_t> pings;
        std::int32_t position;
    } cases[] = {
        {"VorlaneRS485", 0, {38400, 19200, 9600}, 0}, {"VorlaneRS485", 19200, {38400, 19200}, 1},
        {"VorlaneRS485", 9600, {38400, 19200, 9600}, 0}, {"CanOpen_QTA", 500, {500}, 2},
        {"DeviceNetCan", 0, {500, 250, 125}, 0}, {"ModbusRS485", 38400, {38400}, 2}, {"ModbusTCP", 0, {}, 0},
    };
    for (const auto& c : cases) {
        FakeProtocol protocol(c.protocol);
        protocol.answeringBaud = c.answering;
        EXPECT_EQ(protocol.detectBaudrate(5), c.position) << c.protocol << " " << c.answering;
        EXPECT_EQ(protocol.pings, c.pings) << c.protocol << " " << c.answering;
    }
}

TEST(ProtocolBase, GenericIdentificationAndStringParameters)
{
    FakeProtocol protocol("VorlaneRS485");
    std::string vendor = "v", product = "p", version = "x", motor = "old", serial = "old";
    protocol.values = {{{5, 13}, 42}, {{1, 23}, 12345678}};
    EXPECT_EQ(protocol.readIdentification(1, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor + product + version + motor + serial, "vpx0000004212345678");

    protocol.values.clear();
    EXPECT_EQ(protocol.readIdentification(1, vendor, product, version, motor, serial), 0);
    EXPECT_EQ(motor + serial, "");
    // Four characters a parameter, zeros skipped.
    protocol.values = {{{0x1008, 1}, 0x41424344}, {{0x1008, 2}, 0}, {{0x1008, 3}, 0x45464748}};
    std::string text;
    EXPECT_EQ(protocol.readString(0x1008, 1, 12, text), 1);
    EXPECT_EQ(text, "ABCDEFGH");
    // A failing read in the middle leaves nothing half-read.
    EXPECT_EQ(protocol.readString(0x1008, 1, 16, text), 0);
    EXPECT_EQ(text, "");
}

TEST(ProtocolBase, ErrorTextFileAndLookupOrder)
{
    kavreltest::TempDir dir;
    auto file = dir.write("errcodes.ini", "; comment without equals\n1A=Timeout\n0=never shown\n0x2b=With prefix\r\n"
                                          "30=a=b\nzz=not hex\n=no code\n10000=too wide\n1a=Later wins\n");
    EXPECT_EQ(FieldbusProtocol::readErrorTextFile(file.string()),
              (std::map<std::uint16_t, std::string>{{0x1a, "Later wins"}, {0x2b, "With prefix"}, {0x30, "a=b"}}));
    EXPECT_TRUE(FieldbusProtocol::readErrorTextFile(dir.str() + "missing.ini").empty());

    FakeProtocol protocol("ModbusRS485");
    const struct { std::uint32_t code; const char* expected; } cases[] = {
        {0x1104, "No answer within the time-out."}, // protocol-error document first
        {0x02, "Illegal data address: the parameter does not exist."},
        {0x1a, "Timeout"},                            // then errcodes.ini by the low 16 bits
        {0x7777001a, "Timeout"},
        {0x7777, ""},                                 // neither knows it
    };
    for (const auto& c : cases) {
        protocol.setLastError(c.code, "stale");
        protocol.getErrorMessage("Modbus");
        EXPECT_EQ(protocol.getLastErrorString(), c.expected) << std::hex << c.code;
    }
    protocol.setLastError(0, "kept");
    protocol.getErrorMessage("Modbus");
    EXPECT_EQ(protocol.getLastErrorString(), "kept");
}

} // namespace
