// Exact request bytes and reply handling of the Modbus protocols, seen through
// a recording hardware interface that plays back scripted replies.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

using namespace Kavrel;
using P = FieldbusProtocolModbusBase;

namespace {

// Requests and replies in hex text; RTU adapters carry the text itself, TCP
// the bytes. A reply "!" is a transport failure, no reply left is silence.
class RecordingInterface : public HardwareInterface {
public:
    explicit RecordingInterface(bool binary) : binary(binary) {}
    std::int32_t getAvailableInterfaces(HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return ++opens, 1; }
    std::int32_t closeInterface() override { return ++closes, 1; }
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override
    {
        std::string text = binary ? FieldbusProtocol::binToAscii(request.bytes)
                                  : std::string(request.bytes.begin(), request.bytes.end());
        for (auto& c : text)
            c = static_cast<char>(std::toupper(c));
        sent.push_back(text);
        if (replies.empty() || replies.front() == "!") {
            setError(0x1205, "no answer");
            if (!replies.empty())
                replies.pop_front();
            return 0;
        }
        const std::string r = replies.front();
        replies.pop_front();
        if (binary)
            FieldbusProtocol::asciiToBin(response.bytes, r);
        else
            response.bytes.assign(r.begin(), r.end());
        clearError();
        return 1;
    }
    bool binary;
    std::vector<std::string> sent;
    std::deque<std::string> replies;
    int opens = 0, closes = 0;
};

using Call = std::function<std::string(P&, RecordingInterface&)>;

std::string hex(std::uint32_t v)
{
    char b[9];
    std::snprintf(b, sizeof b, "%X", v);
    return b;
}

// Each call gives its result, then what it read, as text.
Call read(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex)
{
    return [=](P& p, auto&) {
        std::uint32_t v = 0xDEAD;
        const auto r = p.readParameter(unit, 4, index, subindex, v);
        return hex(r) + " " + hex(v);
    };
}
Call write(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    return [=](P& p, auto&) { return hex(p.writeParameter(unit, 4, index, subindex, value)); };
}
Call send(std::uint16_t index, std::vector<std::uint8_t> data, std::uint32_t count)
{
    return [=](P& p, auto&) mutable { return hex(p.sendData(1, index, 0, data, count)); };
}
Call upload(std::uint32_t packet)
{
    return [=](P& p, auto&) {
        std::string d = "-";
        std::uint32_t finished = 9;
        const auto r = p.getUpload(1, 256, packet, d, finished);
        return hex(r) + " " + d + " " + hex(finished);
    };
}
Call identify = [](P& p, auto&) {
    std::string vendor = "-", product = "-", version = "-", motor = "-", serial = "-";
    const auto r = p.readIdentification(1, vendor, product, version, motor, serial);
    return hex(r) + " " + vendor + "|" + product + "|" + version + "|" + motor + "|" + serial;
};
Call diagnostics(std::uint32_t unit)
{
    return [=](P& p, auto&) {
        std::uint32_t v = 0xDEAD;
        const auto r = p.readDiagnostics(unit, v);
        return hex(r) + " " + hex(v);
    };
}
Call initUpload = [](P& p, auto&) { return hex(p.initUpload(1)); };

// The replies played back, the call, the requests it sent, its outcome and last error code.
struct Case {
    const char* name; bool tcp; std::vector<std::string> replies; Call call; std::vector<std::string> sent;
    std::string outcome; std::uint32_t code;
};

constexpr bool R = false, T = true;
const std::vector<std::uint8_t> abc{0xAA, 0xBB, 0xCC};

const Case cases[] = {
    // Register address (index * 128 + subindex) * 2, unsigned; beyond index 128 a selector poke first.
    {"read", R, {"0303041234ABCD"}, read(3, 1, 5), {"0303010A0002"}, "1 1234ABCD", 0},
    {"127.127", R, {"01030400000000"}, read(1, 127, 127), {"01037FFE0002"}, "1 0", 0},
    {"128.0 needs no poke", R, {"01030400000000"}, read(1, 128, 0), {"010380000002"}, "1 0", 0},
    {"255.127 pokes 22.10", R, {"011016140002", "01030400000000"}, read(1, 255, 127),
     {"01101614000204007F00FF", "0103FFFE0002"}, "1 0", 0},
    {"129.3", R, {"01102C140002", "01030400000007"}, read(1, 129, 3), {"0110161400020400030081", "010381060002"},
     "1 7", 0},
    {"a failed poke stops the access", R, {"!"}, write(1, 200, 0, 5), {"01101614000204000000C8"}, "0", 0x1205},
    {"index 256 has no register", R, {}, read(1, 256, 0), {}, "0 DEAD", P::errorAddressRange},
    {"index 40000 has no register", R, {}, write(1, 40000, 0, 1), {}, "0", P::errorAddressRange},
    {"data at index 300 has no register", R, {}, send(300, {1, 2}, 2), {}, "0", P::errorAddressRange},
    {"write high word first", R, {"011002000002"}, write(1, 2, 0, 0xB3B2B1B0), {"01100200000204B3B2B1B0"}, "1", 0},
    {"placeholders come from the template only", R, {"BB100BB00002"}, write(0xBB, 11, 88, 0x0BB00BB0),
     {"BB100BB00002040BB00BB0"}, "1", 0},
    {"exception reads the diagnostic register", R, {"038302", "030800021234"}, read(3, 1, 5),
     {"0303010A0002", "030800020000"}, "0 DEAD", 0x1234},
    {"a transport failure keeps the adapter's code", R, {"!"}, write(3, 1, 5, 9), {"0310010A00020400000009"}, "0",
     0x1205},
    // Bad replies to a read.
    {"empty", R, {""}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorReplyTooShort},
    {"no data", R, {"030304"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorReplyTooShort},
    {"short data", R, {"0303041234AB"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorReplyTooShort},
    {"odd digit", R, {"0303041234ABC"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorReplyNotHex},
    {"not hex", R, {"030304XY34ABCD"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorReplyNotHex},
    {"other unit", R, {"0403041234ABCD"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorWrongReply},
    {"other function", R, {"0304041234ABCD"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorWrongReply},
    {"more registers", R, {"0303081234ABCD1234ABCD"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorWrongReply},
    {"trailing data", R, {"0303041234ABCD1234"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorWrongReply},
    {"count lies", R, {"0303061234ABCD"}, read(3, 1, 5), {"0303010A0002"}, "0 DEAD", P::errorWrongReply},
    {"diagnostics cut short", R, {"0308"}, diagnostics(3), {"030800020000"}, "0 DEAD", P::errorReplyTooShort},
    // Raw data.
    {"odd count is padded", R, {"011002000002"}, send(2, abc, 3), {"01100200000204AABBCC00"}, "1", 0},
    {"block too big", R, {}, send(2, std::vector<std::uint8_t>(247), 247), {}, "0", P::errorBadData},
    {"count beyond the buffer", R, {}, send(2, abc, 4), {}, "0", P::errorBadData},
    {"read data copies digits", R, {"0103080102030405060708"},
     [](P& p, auto&) {
         std::string buffer;
         const auto r = p.readData(1, 0, 4, buffer, 16);
         return hex(r) + " " + buffer;
     },
     {"010300080004"}, "1 0102030405060708", 0},
    // Identification: objects by id, unknown ones skipped; then motor type 5.13 and serial number 1.23.
    {"identification", R,
     {"012B0E01010000" "04" "000441434D45" "070178" "0102" "5031" "0203322E30", "0103040000007B", "01030400BC614E"},
     identify, {"012B0E0100", "0103051A0002", "0103012E0002"}, "1 ACME|P1|2.0|00000123|12345678", 0},
    {"object past the end", R, {"012B0E01010000" "01" "0009414243", "01030400000001", "01030400000002"}, identify,
     {"012B0E0100", "0103051A0002", "0103012E0002"}, "1 -|-|-|00000001|00000002", 0},
    {"0x2B refused", R, {"01AB01", "01030400000001", "01030400000002"}, identify,
     {"012B0E0100", "0103051A0002", "0103012E0002"}, "1 -|-|-|00000001|00000002", 0},
    {"no serial number", R, {"01AB01", "01030400000001"}, identify, {"012B0E0100", "0103051A0002", "0103012E0002"},
     "0 -|-|-|00000001|", 0x1205},
    // Upload.
    {"init without reply", R, {}, initUpload, {"015A0000335652322E00000020"}, "0", 0x1205},
    {"init", R, {"015A0000FE"}, initUpload, {"015A0000335652322E00000020"}, "1", 0},
    {"init status is getUpload's to judge", R, {"015A000001"}, initUpload, {"015A0000335652322E00000020"}, "1", 0},
    {"init exception", R, {"018A02"}, initUpload, {"015A0000335652322E00000020"}, "0", P::errorWrongReply},
    {"packet", R, {"015A0000FE00000003AABBCC"}, upload(1), {"015A00003401000001"}, "0 AABBCC 0", 0},
    {"last packet closes", R, {"015A0000FE00010001DD", "015A0000FE"}, upload(2),
     {"015A00003401000002", "015A00003501000000"}, "0 DD 1", 0},
    {"refusal closes", R, {"015A000012", "015A0000FE"}, upload(3), {"015A00003401000003", "015A00003501000000"},
     "80040603  0", P::errorUploadRefused},
    {"upload transport failure", R, {"!"}, upload(4), {"015A00003401000004"}, "80040604  0", 0x1205},
    {"upload cut 1", R, {"015A"}, upload(1), {"015A00003401000001"}, "80040604  0", P::errorReplyTooShort},
    {"upload cut 3", R, {"015A0000FE"}, upload(1), {"015A00003401000001"}, "80040604  0", P::errorReplyTooShort},
    {"upload data short", R, {"015A0000FE00000004AABB"}, upload(1), {"015A00003401000001"}, "80040604  0",
     P::errorReplyTooShort},
    // Ping and rate changes reopen the line at the rate.
    {"ping", R, {"0503020000"},
     [](P& p, RecordingInterface& hw) {
         auto line = [&] { return " " + std::to_string(hw.getBaudrate()) + " " + std::to_string(hw.opens) + "/" +
                                  std::to_string(hw.closes); };
         std::string s = hex(p.ping(5, 38400));
         s += line();
         s += " " + hex(p.ping(5, 9600));
         s += " " + hex(p.setBaudrate(19200));
         return s + line();
     },
     {"050300010001", "050300010001"}, "1 38400 1/1 0 1 19200 3/3", 0x1205},
    // TCP: transaction id 0, the reply header is not judged; MBAP length checked for every frame.
    {"tcp read", T, {"123400010009" "0303041234ABCD"}, read(3, 1, 5), {"000000000006" "0303010A0002"},
     "1 1234ABCD", 0},
    {"tcp exception", T, {"000000000003" "019002", "000000000006" "010800020042"}, write(1, 2, 0, 1),
     {"00000000000B" "01100200000204" "00000001", "000000000006" "010800020000"}, "0", 0x42},
    {"tcp cut header", T, {"0000"}, read(1, 1, 0), {"000000000006010301000002"}, "0 DEAD", P::errorReplyTooShort},
    {"tcp unit only", T, {"000000000007" "01"}, read(1, 1, 0), {"000000000006010301000002"}, "0 DEAD",
     P::errorReplyTooShort},
    {"tcp data", T, {"000000000006" "011003000003"}, send(3, {1, 2, 3, 4, 5}, 5),
     {"00000000000D" "011003000003060102030405" "00"}, "1", 0},
    {"tcp diagnostics", T, {"000000000006" "010800020000"}, diagnostics(1), {"000000000006" "010800020000"}, "1 0", 0},
    {"tcp init upload", T, {"000000000006" "015A0000FE0100"}, initUpload, {"00000000000D" "015A0000335652322E00000020"},
     "1", 0},
};

TEST(ModbusFrames, RequestsRepliesAndCodes)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto hw = std::make_shared<RecordingInterface>(c.tcp);
        hw->replies.assign(c.replies.begin(), c.replies.end());
        std::unique_ptr<P> p;
        if (c.tcp)
            p = std::make_unique<FieldbusProtocolModbusTcp>(hw);
        else
            p = std::make_unique<FieldbusProtocolModbusRtu>(hw);
        EXPECT_EQ(c.call(*p, *hw), c.outcome);
        EXPECT_EQ(hw->sent, c.sent);
        EXPECT_EQ(p->getLastErrorCode(), c.code);
        EXPECT_FALSE(c.code > 0xFFFF && p->getLastErrorString().empty()) << "a code of ours has a text";
        for (const auto& frame : c.tcp ? hw->sent : std::vector<std::string>{})
            EXPECT_EQ(std::stoul(frame.substr(8, 4), nullptr, 16), frame.size() / 2 - 6) << frame;
    }
}

} // namespace
