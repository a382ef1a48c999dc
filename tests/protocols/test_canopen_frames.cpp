// CANopen SDO frames against a recording CAN adapter that answers from a
// small object dictionary, so every byte the protocol puts on the bus and
// every reply it decodes is pinned.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>

#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocolCanOpenKvx.h"
#include "protocols/FieldbusProtocolCanOpenQta.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// Records each request; answers with a queued reply when there is one (none:
// no frame), else from its dictionary: expedited upload with the size flag,
// download acknowledge, abort 0x06020000 for a missing object.
class RecordingCan : public Kavrel::HardwareInterface {
public:
    struct Entry { std::uint32_t size, value; };
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return 1; }
    std::int32_t closeInterface() override { return 1; }
    std::int32_t sendMessage(const Kavrel::GenericParameters& request, Kavrel::GenericParameters& response) override
    {
        const Bytes& r = request.bytes;
        sent.push_back({request.getNumber(0, -1), r});
        std::optional<Bytes> reply = Bytes{0, r[1], r[2], r[3], 0, 0, 0, 0};
        auto it = dictionary.find({static_cast<std::uint16_t>(r[1] | (r[2] << 8)), r[3]});
        if (!queued.empty()) {
            reply = queued.front();
            queued.pop_front();
        } else if (it == dictionary.end()) {
            *reply = {0x80, r[1], r[2], r[3], 0, 0, 0x02, 0x06};
        } else if (r[0] == 0x40) {
            (*reply)[0] = static_cast<std::uint8_t>(0x43 | ((4 - it->second.size) << 2));
            for (int i = 0; i < 4; ++i)
                (*reply)[4 + i] = static_cast<std::uint8_t>(it->second.value >> (8 * i));
        } else {
            (*reply)[0] = 0x60;
            it->second.value = static_cast<std::uint32_t>(r[4] | r[5] << 8 | r[6] << 16 | r[7] << 24);
        }
        if (!reply)
            return setError(0x1507, "no frame"), 0;
        response.bytes = *reply;
        clearError();
        return 1;
    }

    std::map<std::pair<std::uint16_t, std::uint8_t>, Entry> dictionary;
    std::deque<std::optional<Bytes>> queued;
    std::vector<std::pair<std::int32_t, Bytes>> sent;
};

Bytes upload(std::uint16_t object, std::uint8_t sub)
{
    return {0x40, static_cast<std::uint8_t>(object), static_cast<std::uint8_t>(object >> 8), sub, 0, 0, 0, 0};
}

class CanOpenFrames : public ::testing::Test {
protected:
    std::shared_ptr<RecordingCan> can = std::make_shared<RecordingCan>();
    Kavrel::FieldbusProtocolCanOpenQta qta{can};
    Kavrel::FieldbusProtocolCanOpenKvx kvx{can};
};

TEST_F(CanOpenFrames, ReadRequestsMapTheIndexAndDecodeTheReply)
{
    const struct { std::uint32_t node; std::uint16_t index, sub; Bytes reply, expectedRequest; std::uint32_t expectedValue; }
    cases[] = {
        {5, 1, 1, {0x43, 0x01, 0x30, 0x01, 0x78, 0x56, 0x34, 0x12}, upload(0x3001, 1), 0x12345678},
        {5, 1, 1, {0x4B, 0x01, 0x30, 0x01, 0x34, 0x12, 0xAA, 0xBB}, upload(0x3001, 1), 0x1234},
        {5, 1, 1, {0x4F, 0x01, 0x30, 0x01, 0x7F, 0xAA, 0xBB, 0xCC}, upload(0x3001, 1), 0x7F},
        {127, 0x1018, 1, {0x43, 0x18, 0x10, 0x01, 1, 0, 0, 0}, upload(0x1018, 1), 1},
        {1, 8000, 3, {0x43, 0x40, 0x4F, 0x03, 9, 0, 0, 0}, upload(0x4F40, 3), 9},
        {1, 8099, 0, {0x43, 0xA3, 0x4F, 0x00, 9, 0, 0, 0}, upload(0x4FA3, 0), 9},
        {1, 8100, 0, {0x43, 0xA4, 0x1F, 0x00, 9, 0, 0, 0}, upload(0x1FA4, 0), 9},
        {1, 0x0FFF, 255, {0x43, 0xFF, 0x3F, 0xFF, 9, 0, 0, 0}, upload(0x3FFF, 255), 9},
    };
    for (const auto& c : cases) {
        can->sent.clear();
        can->queued.push_back(c.reply);
        std::uint32_t value = 0;
        EXPECT_EQ(qta.readParameter(c.node, 4, c.index, c.sub, value), 1) << c.index;
        ASSERT_EQ(can->sent.size(), 1u);
        EXPECT_EQ(can->sent[0].first, static_cast<std::int32_t>(0x600 + c.node));
        EXPECT_EQ(can->sent[0].second, c.expectedRequest) << c.index << "." << c.sub;
        EXPECT_EQ(value, c.expectedValue) << c.index;
        EXPECT_EQ(qta.getLastErrorCode(), 0u);
    }
}

TEST_F(CanOpenFrames, WriteTakesTheWidthFromTheDrivesReply)
{
    const struct { std::uint32_t size, value; Bytes expected; } cases[] = {
        {4, 0xA1B2C3D4, {0x23, 0x02, 0x30, 0x07, 0xD4, 0xC3, 0xB2, 0xA1}},
        {3, 0xA1B2C3D4, {0x27, 0x02, 0x30, 0x07, 0xD4, 0xC3, 0xB2, 0x00}},
        {2, 0xA1B2C3D4, {0x2B, 0x02, 0x30, 0x07, 0xD4, 0xC3, 0x00, 0x00}},
        {1, 0xA1B2C3D4, {0x2F, 0x02, 0x30, 0x07, 0xD4, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        can->sent.clear();
        can->dictionary[{0x3002, 7}] = {c.size, 0};
        // The size argument is not what decides the width.
        ASSERT_EQ(qta.writeParameter(9, 4, 2, 7, c.value), 1);
        ASSERT_EQ(can->sent.size(), 2u);
        EXPECT_EQ(can->sent[0].second, upload(0x3002, 7));
        EXPECT_EQ(can->sent[1].first, 0x609);
        EXPECT_EQ(can->sent[1].second, c.expected) << c.size;
    }
}

TEST_F(CanOpenFrames, AbortsAndSilenceAreFailedAccessesWithCodes)
{
    const struct { std::optional<Bytes> reply; std::uint32_t code; bool text; } cases[] = {
        {Bytes{0x80, 0x01, 0x30, 0x01, 0x00, 0x00, 0x02, 0x06}, 0x06020000, true},
        {Bytes{0x80, 0x01, 0x30, 0x01, 0x00, 0x00, 0x0A, 0x06}, 0x060A0000, false},
        {Bytes{0x80, 0x01, 0x30, 0x01, 0x23, 0x00, 0x0A, 0x06}, 0x060A0023, true},
        {Bytes{0x80, 0x01, 0x30}, 0xFFFFFFFF, false}, {std::nullopt, 0x1101, false}, {Bytes{}, 0x1101, false},
        // Replies that do not answer 0x3001.1: another object or subindex, a cut frame, a download's answer.
        {Bytes{0x43, 0x02, 0x30, 0x01, 9, 0, 0, 0}, 0x1101, false}, {Bytes{0x43, 0x01, 0x30, 0x02, 9, 0, 0, 0}, 0x1101, false},
        {Bytes{0x4F, 0x01, 0x30, 0x01}, 0x1101, false}, {Bytes{0x60, 0x01, 0x30, 0x01, 9, 0, 0, 0}, 0x1101, false},
    };
    std::uint32_t value = 77;
    for (const auto& c : cases) {
        can->queued.push_back(c.reply);
        EXPECT_EQ(kvx.readParameter(1, 4, 1, 1, value), 0);
        EXPECT_EQ(value, 0u);
        EXPECT_EQ(kvx.getLastErrorCode(), c.code);
        EXPECT_EQ(!kvx.getLastErrorString().empty(), c.text) << kvx.getLastErrorString();
    }
    // A write whose read aborts sends nothing more and fails with that code.
    can->sent.clear();
    EXPECT_EQ(kvx.writeParameter(1, 2, 3, 3, 5), 0);
    EXPECT_EQ(can->sent.size(), 1u);
    EXPECT_EQ(kvx.getLastErrorCode(), 0x06020000u);
    // A write whose download aborts fails too.
    can->dictionary[{0x3003, 3}] = {2, 0};
    can->queued.push_back(std::nullopt);
    EXPECT_EQ(kvx.writeParameter(1, 2, 3, 3, 5), 0);
    EXPECT_EQ(kvx.getLastErrorCode(), 0x1101u);
    EXPECT_TRUE(kvx.getLastErrorString().empty());
    // A subindex above 255 has no place in the frame: refused without sending.
    can->sent.clear();
    EXPECT_EQ(qta.readParameter(1, 4, 1, 256, value), 0);
    EXPECT_EQ(qta.writeParameter(1, 4, 1, 0x1FF, 3), 0);
    EXPECT_TRUE(can->sent.empty());
    EXPECT_EQ(qta.getLastErrorCode(), 0x06090011u);
    EXPECT_FALSE(qta.getLastErrorString().empty());
}

TEST_F(CanOpenFrames, KvxIdentificationTakesTheDrivesVendorTextOrTheFamilysMaker)
{
    auto text = [](const char* four) {
        return static_cast<std::uint32_t>((four[0] << 24) | (four[1] << 16) | (four[2] << 8) | four[3]);
    };
    auto& d = can->dictionary;
    std::string vendor, product, version, motor, serial;
    d[{0x1018, 1}] = {4, 0x0100002E}; // a QTA drive's vendor id, then KVX's with product codes 1000 and 1001
    d[{0x1018, 2}] = {2, 7};
    EXPECT_EQ(kvx.readIdentification(3, vendor, product, version, motor, serial), 0);
    EXPECT_EQ(vendor, "");
    d[{0x1018, 1}] = {4, 0x0800005A};
    d[{0x1018, 2}] = {4, 1000};
    EXPECT_EQ(kvx.readIdentification(3, vendor, product, version, motor, serial), 0);
    d[{0x1018, 2}] = {4, 1001};
    for (std::uint8_t s = 14; s <= 20; ++s)
        d[{0x3001, s}] = {4, s == 18 ? text("KVX-") : s == 19 ? text("220 ") : 0};
    d[{0x3001, 1}] = {4, 4321};
    d[{0x3001, 2}] = {2, 12};
    d[{0x3001, 4}] = {2, 305};
    d[{0x3005, 13}] = {4, 42};
    d[{0x3001, 23}] = {4, 99};
    ASSERT_EQ(kvx.readIdentification(3, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + motor + "|" + serial,
              "Halvorn Motion|KVX-220|P004321V001205|00000042|00000099");
    d[{0x3001, 14}] = {4, text("Acme")};
    ASSERT_EQ(kvx.readIdentification(3, vendor, product, version, motor, serial), 1);
    EXPECT_EQ(vendor, "Acme");
}

TEST_F(CanOpenFrames, KvxUploadCountsWordsAndFinishes)
{
    auto& d = can->dictionary;
    d[{0x3004, 9}] = {4, 0};
    d[{0x3004, 11}] = {4, 3};
    d[{0x3004, 12}] = {4, 0xCAFE0001};
    d[{0x3032, 1}] = {2, 1};
    ASSERT_EQ(kvx.initUpload(2), 1);
    EXPECT_EQ((d[{0x3004, 9}].value), 0x00170032u);
    std::string data;
    std::uint32_t last = 0;
    std::vector<std::string> packets;
    for (int i = 0; i < 5 && last == 0; ++i) {
        ASSERT_EQ(kvx.getUpload(2, 1, static_cast<std::uint32_t>(i), data, last), 0);
        if (!data.empty())
            packets.push_back(data);
    }
    EXPECT_EQ(packets, (std::vector<std::string>{"CAFE0001", "CAFE0001"}));
    EXPECT_EQ(last, 1u);
    EXPECT_EQ(can->sent.back().second, (Bytes{0x2B, 0x32, 0x30, 0x01, 0, 0, 0, 0}));

    // A negative count gives nothing; a failing data read is a failure.
    d[{0x3004, 11}] = {4, 0xFFFFFFFE};
    ASSERT_EQ(kvx.initUpload(2), 1);
    EXPECT_EQ(kvx.getWordsAvailable(), -2);
    EXPECT_EQ(kvx.getUpload(2, 1, 0, data, last), 0);
    EXPECT_EQ(last, 1u);
    d[{0x3004, 11}] = {4, 4};
    ASSERT_EQ(kvx.initUpload(2), 1);
    d.erase({0x3004, 12});
    EXPECT_EQ(kvx.getUpload(2, 1, 0, data, last), static_cast<std::int32_t>(0x80004005u));
}

} // namespace
