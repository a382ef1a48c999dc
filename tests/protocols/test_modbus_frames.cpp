// Exact request bytes and reply handling of the Modbus protocols, seen through
// a recording hardware interface that plays back scripted replies.
#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

using namespace Kavrel;

namespace {

class RecordingInterface : public HardwareInterface {
public:
    struct Reply {
        bool ok;
        std::vector<std::uint8_t> bytes;
        std::uint32_t error;
    };
    std::vector<std::vector<std::uint8_t>> sent;
    std::deque<Reply> replies;
    int opens = 0, closes = 0;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { ++opens; return 1; }
    std::int32_t closeInterface() override { ++closes; return 1; }
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override
    {
        sent.push_back(request.bytes);
        if (replies.empty()) {
            setError(0x1205, "no answer");
            return 0;
        }
        Reply r = replies.front();
        replies.pop_front();
        if (!r.ok) {
            setError(r.error, "transport failed");
            return 0;
        }
        clearError();
        response.bytes = r.bytes;
        return 1;
    }
    // RTU adapter replies are hex text.
    void text(const std::string& t) { replies.push_back({true, {t.begin(), t.end()}, 0}); }
    void bin(const std::vector<std::uint8_t>& b) { replies.push_back({true, b, 0}); }
    void transportFailure(std::uint32_t code) { replies.push_back({false, {}, code}); }
    std::string sentText(std::size_t i) const { return {sent.at(i).begin(), sent.at(i).end()}; }
};

struct RtuFixture : ::testing::Test {
    std::shared_ptr<RecordingInterface> hw = std::make_shared<RecordingInterface>();
    FieldbusProtocolModbusRtu rtu{hw};
};

std::vector<std::uint8_t> bytes(const std::string& hexText)
{
    std::vector<std::uint8_t> b;
    FieldbusProtocol::asciiToBin(b, hexText);
    return b;
}

} // namespace

TEST_F(RtuFixture, ReadParameterFrameAndValue)
{
    hw->text("0303041234ABCD");
    std::uint32_t value = 0;
    ASSERT_EQ(rtu.readParameter(3, 4, 1, 5, value), 1);
    ASSERT_EQ(hw->sent.size(), 1u);
    EXPECT_EQ(hw->sentText(0), "0303010A0002");
    EXPECT_EQ(value, 0x1234ABCDu);
    EXPECT_EQ(rtu.getLastErrorCode(), 0u);
}

TEST_F(RtuFixture, RegisterAddressesAreUnsignedAndChecked)
{
    struct Case {
        std::uint16_t index, subindex;
        const char* request;
    } cases[] = {
        {0, 0, "010300000002"},
        {1, 5, "0103010A0002"},
        {2, 0, "010302000002"},
        {127, 127, "01037FFE0002"},
        {128, 0, "010380000002"},
        {255, 127, "0103FFFE0002"},
    };
    for (const auto& c : cases) {
        hw->sent.clear();
        if (c.index > 128)
            hw->text("011016140002");
        hw->text("01030400000000");
        std::uint32_t value = 0;
        rtu.readParameter(1, 4, c.index, c.subindex, value);
        ASSERT_FALSE(hw->sent.empty()) << c.index;
        EXPECT_EQ(hw->sentText(hw->sent.size() - 1), c.request) << c.index << "." << c.subindex;
        hw->replies.clear();
    }
}

TEST_F(RtuFixture, WriteParameterSendsValueHighWordFirst)
{
    hw->text("011002000002");
    ASSERT_EQ(rtu.writeParameter(1, 4, 2, 0, 0xB3B2B1B0u), 1);
    EXPECT_EQ(hw->sentText(0), "01100200000204B3B2B1B0");
}

TEST_F(RtuFixture, HighIndexPokesFirstAndFailedPokeStopsAccess)
{
    hw->text("01102C140002");
    hw->text("01030400000007");
    std::uint32_t value = 0;
    ASSERT_EQ(rtu.readParameter(1, 4, 129, 3, value), 1);
    ASSERT_EQ(hw->sent.size(), 2u);
    // 22.10 lies at (22*128+10)*2 = 0x1614; value 3*65536+129.
    EXPECT_EQ(hw->sentText(0), "01101614000204" "00030081");
    EXPECT_EQ(hw->sentText(1), "010381060002");
    EXPECT_EQ(value, 7u);

    hw->sent.clear();
    hw->transportFailure(0x1205);
    EXPECT_EQ(rtu.writeParameter(1, 4, 200, 0, 5), 0);
    EXPECT_EQ(hw->sent.size(), 1u) << "nothing may follow a failed poke";
    EXPECT_EQ(rtu.getLastErrorCode(), 0x1205u);

    hw->sent.clear();
    hw->text("01030400000000");
    EXPECT_EQ(rtu.readParameter(1, 4, 128, 0, value), 1);
    EXPECT_EQ(hw->sent.size(), 1u) << "index 128 needs no poke";
}

TEST_F(RtuFixture, IndexWithoutRegisterAddressSendsNothing)
{
    std::uint32_t value = 0;
    EXPECT_EQ(rtu.readParameter(1, 4, 256, 0, value), 0);
    EXPECT_EQ(rtu.getLastErrorCode(), FieldbusProtocolModbusBase::errorAddressRange);
    EXPECT_EQ(rtu.writeParameter(1, 4, 40000, 0, 1), 0);
    EXPECT_EQ(rtu.getLastErrorCode(), FieldbusProtocolModbusBase::errorAddressRange);
    std::vector<std::uint8_t> data{1, 2};
    EXPECT_EQ(rtu.sendData(1, 300, 0, data, 2), 0);
    EXPECT_TRUE(hw->sent.empty());
}

TEST_F(RtuFixture, ExceptionReplyReadsDiagnosticRegister)
{
    hw->text("038302");
    hw->text("030800021234");
    std::uint32_t value = 0;
    EXPECT_EQ(rtu.readParameter(3, 4, 1, 5, value), 0);
    ASSERT_EQ(hw->sent.size(), 2u);
    EXPECT_EQ(hw->sentText(1), "030800020000");
    EXPECT_EQ(rtu.getLastErrorCode(), 0x1234u);
    EXPECT_EQ(rtu.getLastErrorString(), "") << "a code without a text has none";

    // A transport failure keeps the adapter's code and reads nothing more.
    hw->sent.clear();
    hw->transportFailure(0x1205);
    EXPECT_EQ(rtu.writeParameter(3, 4, 1, 5, 9), 0);
    EXPECT_EQ(hw->sent.size(), 1u);
    EXPECT_EQ(rtu.getLastErrorCode(), 0x1205u);
}

TEST_F(RtuFixture, BadRepliesAreFailedExchangesWithCodes)
{
    using B = FieldbusProtocolModbusBase;
    struct Case {
        const char* reply;
        std::uint32_t code;
    } cases[] = {
        {"", B::errorReplyTooShort},
        {"03", B::errorReplyTooShort},
        {"0303", B::errorReplyTooShort},
        {"030304", B::errorReplyTooShort},
        {"0303041234AB", B::errorReplyTooShort},
        {"0303041234ABC", B::errorReplyNotHex},
        {"030304XY34ABCD", B::errorReplyNotHex},
        {"0403041234ABCD", B::errorWrongReply},
        {"0304041234ABCD", B::errorWrongReply},
        // More than the two registers asked for, or a byte count that lies.
        {"0303081234ABCD1234ABCD", B::errorWrongReply},
        {"0303041234ABCD1234", B::errorWrongReply},
        {"0303061234ABCD", B::errorWrongReply},
    };
    for (const auto& c : cases) {
        hw->replies.clear();
        hw->text(c.reply);
        std::uint32_t value = 0xDEAD;
        EXPECT_EQ(rtu.readParameter(3, 4, 1, 5, value), 0) << c.reply;
        EXPECT_EQ(rtu.getLastErrorCode(), c.code) << c.reply;
        EXPECT_FALSE(rtu.getLastErrorString().empty()) << c.reply;
    }
    // Truncated diagnostics and upload replies fail the same way.
    hw->replies.clear();
    hw->text("0308");
    std::uint32_t diagnostic = 0;
    EXPECT_EQ(rtu.readDiagnostics(3, diagnostic), 0);
    for (const char* reply : {"035A", "035A00", "035A0000FE", "035A0000FE0000", "035A0000FE00000004AABB"}) {
        hw->replies.clear();
        hw->text(reply);
        std::string data;
        std::uint32_t finished = 7;
        EXPECT_EQ(static_cast<std::uint32_t>(rtu.getUpload(3, 256, 1, data, finished)),
                  FieldbusProtocolModbusBase::errorUploadExchange) << reply;
        EXPECT_EQ(finished, 0u);
    }
}

TEST_F(RtuFixture, SendDataPadsOddCount)
{
    hw->text("011002000002");
    std::vector<std::uint8_t> data{0xAA, 0xBB, 0xCC};
    ASSERT_EQ(rtu.sendData(1, 2, 0, data, 3), 1);
    EXPECT_EQ(hw->sentText(0), "01100200000204AABBCC00");
    std::vector<std::uint8_t> big(247, 0);
    EXPECT_EQ(rtu.sendData(1, 2, 0, big, 247), 0);
    EXPECT_EQ(rtu.sendData(1, 2, 0, data, 4), 0) << "count beyond the buffer";
    EXPECT_EQ(hw->sent.size(), 1u);
}

TEST_F(RtuFixture, ReadDataCopiesDigits)
{
    hw->text("0103080102030405060708");
    std::string buffer;
    ASSERT_EQ(rtu.readData(1, 0, 4, buffer, 16), 1);
    EXPECT_EQ(hw->sentText(0), "010300080004");
    EXPECT_EQ(buffer, "0102030405060708");
}

TEST_F(RtuFixture, IdentificationParsesObjectsAndSkipsUnknown)
{
    // unit fn MEI code conf more next count | 00 "ACME" | 07 "x" | 01 "P1" | 02 "2.0"
    hw->text("012B0E01010000" "04" "000441434D45" "070178" "0102" "5031" "0203322E30");
    hw->text("0103040000007B");  // 5.13
    hw->text("01030400BC614E");  // 1.23
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(rtu.readIdentification(1, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(hw->sentText(0), "012B0E0100");
    EXPECT_EQ(vendor, "ACME");
    EXPECT_EQ(product, "P1");
    EXPECT_EQ(version, "2.0");
    EXPECT_EQ(motor, "00000123");
    EXPECT_EQ(serial, "12345678");
    // An object running past the reply's end, or a drive refusing 0x2B: the
    // motor type and serial number reads still run and decide.
    for (const char* identification : {"012B0E01010000" "01" "0009414243", "01AB01"}) {
        hw->sent.clear();
        hw->text(identification);
        hw->text("01030400000001");
        hw->text("01030400000002");
        EXPECT_EQ(rtu.readIdentification(1, vendor, product, version, motor, serial), 1) << identification;
        EXPECT_EQ(hw->sent.size(), 3u);
        EXPECT_EQ(serial, "00000002");
        hw->text(identification);
        hw->text("01030400000001");
        EXPECT_EQ(rtu.readIdentification(1, vendor, product, version, motor, serial), 0) << "no serial number";
    }
}

TEST_F(RtuFixture, UploadSequence)
{
    EXPECT_EQ(rtu.initUpload(1), 0) << "no reply is no open upload";
    hw->text("015A0000FE");
    EXPECT_EQ(rtu.initUpload(1), 1);
    EXPECT_EQ(hw->sentText(1), "015A0000335652322E00000020");
    hw->text("015A000001");
    EXPECT_EQ(rtu.initUpload(1), 1) << "the status byte is getUpload's to judge";
    hw->text("018A02");
    EXPECT_EQ(rtu.initUpload(1), 0) << "an exception is no exchange";

    hw->sent.clear();
    hw->text("015A0000FE00000003AABBCC");
    std::string data;
    std::uint32_t finished = 9;
    EXPECT_EQ(rtu.getUpload(1, 256, 1, data, finished), 0);
    EXPECT_EQ(hw->sentText(0), "015A0000340100" "0001");
    EXPECT_EQ(data, "AABBCC");
    EXPECT_EQ(finished, 0u);
    EXPECT_EQ(hw->sent.size(), 1u) << "no close while not finished";

    hw->sent.clear();
    hw->text("015A0000FE00010001DD");
    hw->text("015A0000FE");
    EXPECT_EQ(rtu.getUpload(1, 256, 2, data, finished), 0);
    EXPECT_EQ(finished, 1u);
    EXPECT_EQ(data, "DD");
    ASSERT_EQ(hw->sent.size(), 2u);
    EXPECT_EQ(hw->sentText(1), "015A00003501000000");

    hw->sent.clear();
    hw->text("015A000012");
    hw->text("015A0000FE");
    EXPECT_EQ(static_cast<std::uint32_t>(rtu.getUpload(1, 256, 3, data, finished)),
              FieldbusProtocolModbusBase::errorUploadRefused);
    ASSERT_EQ(hw->sent.size(), 2u);
    EXPECT_EQ(hw->sentText(1), "015A00003501000000");

    hw->transportFailure(0x1205);
    EXPECT_EQ(static_cast<std::uint32_t>(rtu.getUpload(1, 256, 4, data, finished)),
              FieldbusProtocolModbusBase::errorUploadExchange);
}

TEST_F(RtuFixture, PingAndSetBaudrateReopenTheLine)
{
    hw->text("0503020000");
    EXPECT_EQ(rtu.ping(5, 38400), 1);
    EXPECT_EQ(hw->sentText(0), "050300010001");
    EXPECT_EQ(hw->getBaudrate(), 38400u);
    EXPECT_EQ(hw->opens, 1);
    EXPECT_EQ(hw->closes, 1);
    EXPECT_EQ(rtu.ping(5, 9600), 0);
    EXPECT_EQ(rtu.setBaudrate(19200), 1);
    EXPECT_EQ(hw->getBaudrate(), 19200u);
    EXPECT_EQ(hw->opens, 3);
    EXPECT_EQ(hw->closes, 3);
}

TEST(ModbusHeader, PlaceholdersAreReplacedFromTheTemplateOnly)
{
    FieldbusProtocolModbusRtu rtu;
    EXPECT_EQ(rtu.createHeader("10AAAALLLLBB", 0xBB, 0x0BB0, 2, 0, 0), "BB100BB0000204");
    EXPECT_EQ(rtu.createHeader("5A000034SSSSPPPP", 1, 0, 0, 0xABC, 0x12), "015A0000340ABC0012");
    EXPECT_EQ(rtu.getMaxBlockSize(), 246u);
    FieldbusProtocolModbusTcp tcp;
    EXPECT_EQ(tcp.createHeader("03AAAALLLL", 3, 0x010A, 2, 0, 0), "0000000000060303010A0002");
}

TEST(ModbusTcpFrames, TransactionIdIsZeroAndTheReplyHeaderIsNotJudged)
{
    auto hw = std::make_shared<RecordingInterface>();
    FieldbusProtocolModbusTcp tcp(hw);
    hw->bin(bytes("123400010009" "0303041234ABCD"));
    std::uint32_t value = 0;
    ASSERT_EQ(tcp.readParameter(3, 4, 1, 5, value), 1) << tcp.getLastErrorString();
    EXPECT_EQ(hw->sent.at(0), bytes("000000000006" "0303010A0002"));
    EXPECT_EQ(value, 0x1234ABCDu);

    // Exception, then the diagnostic register, each with transaction id 0.
    hw->bin(bytes("000000000003" "019002"));
    hw->bin(bytes("000000000006" "010800020042"));
    EXPECT_EQ(tcp.writeParameter(1, 4, 2, 0, 1), 0);
    EXPECT_EQ(hw->sent.at(2), bytes("000000000006" "010800020000"));
    EXPECT_EQ(tcp.getLastErrorCode(), 0x42u);

    // Cut or overlong replies fail, whatever their header says.
    using B = FieldbusProtocolModbusBase;
    struct Case {
        const char* reply;
        std::uint32_t code;
    } cases[] = {
        {"0000", B::errorReplyTooShort},
        {"000000000007" "01", B::errorReplyTooShort},
        {"000000000007" "0103041234", B::errorReplyTooShort},
        {"000000000007" "0103041234ABCD" "000000000007", B::errorWrongReply},
    };
    for (const auto& c : cases) {
        hw->bin(bytes(c.reply));
        value = 0xDEAD;
        EXPECT_EQ(tcp.readParameter(1, 4, 1, 0, value), 0) << c.reply;
        EXPECT_EQ(tcp.getLastErrorCode(), c.code) << c.reply;
        EXPECT_EQ(value, 0xDEADu) << c.reply;
    }
}

TEST(ModbusTcpFrames, LengthFieldCountsEveryFollowingByte)
{
    // Each request kind: the MBAP length must equal the bytes after the header.
    auto hw = std::make_shared<RecordingInterface>();
    FieldbusProtocolModbusTcp tcp(hw);
    std::uint32_t value = 0;
    std::string text;
    std::vector<std::uint8_t> block{1, 2, 3, 4, 5};
    hw->bin(bytes("000000000006" "011002000002"));
    tcp.writeParameter(1, 4, 2, 0, 0xB3B2B1B0u);
    hw->bin(bytes("000000000006" "011003000003"));
    tcp.sendData(1, 3, 0, block, 5);
    hw->bin(bytes("000000000006" "010300"));
    tcp.readParameter(1, 4, 1, 0, value);
    hw->bin(bytes("000000000006" "010800020000"));
    tcp.readDiagnostics(1, value);
    hw->bin(bytes("000000000006" "015A0000FE0100"));
    tcp.initUpload(1);
    ASSERT_EQ(hw->sent.size(), 5u);
    EXPECT_EQ(hw->sent[0], bytes("00000000000B" "01100200000204B3B2B1B0"));
    EXPECT_EQ(hw->sent[1], bytes("00000000000D" "011003000003060102030405" "00"));
    for (const auto& frame : hw->sent) {
        ASSERT_GE(frame.size(), 7u);
        EXPECT_EQ(frame[4] * 256u + frame[5], frame.size() - 6) << FieldbusProtocol::binToAscii(frame);
    }
}
