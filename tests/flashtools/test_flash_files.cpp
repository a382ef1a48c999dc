#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <sstream>

#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"
#include "support/SrecFiles.h"

using namespace Kavrel;
using kavreltest::SrecSegment;

TEST(FlashFileReading, SegmentsMatchWhatSrecordWrote)
{
    const auto a = kavreltest::patternBytes(5000, 1), b = kavreltest::patternBytes(777 * 2, 2);
    struct Case { const char* name; std::vector<SrecSegment> segments; const char* options; bool lower, crlf; } cases[] = {
        {"S19", {{0, a}}, "-address-length=2", false, false}, {"S28 at word 0x10000", {{0x10000, a}}, "-address-length=3", false, false},
        {"S37", {{0x80, a}}, "-address-length=4", false, false}, {"gap", {{0, a}, {0x1800, b}}, "-address-length=3", false, false},
        {"250-byte records", {{0, a}}, "-address-length=4 -obs=250", false, false},
        {"lower case", {{0, a}, {0x4000, b}}, "", true, false}, {"CRLF", {{0, a}}, "-address-length=3", false, true}};
    kavreltest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = kavreltest::writeSrec(dir, "img.s", c.segments, c.options, "#FILE=img\n#FAPI=DRV12\n");
        ASSERT_FALSE(file.empty());
        std::string text, line;
        for (std::istringstream in(kavreltest::readFile(file)); std::getline(in, line);) {
            for (std::size_t i = 1; c.lower && line[0] == 'S' && i < line.size(); ++i)
                line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
            text += line + (c.crlf ? "\r\n" : "\n");
        }
        auto data = createFlashData(dir.write("img2.s", text).string());
        // srec_cat ends with an S5 count record: an empty segment that sends nothing.
        SegmentList segments;
        for (const auto& s : data->getSegments())
            if (!s.empty()) segments.push_back(s);
        ASSERT_TRUE(data->checksumAdded());
        ASSERT_EQ(segments.size(), c.segments.size() + 1);
        for (std::size_t i = 0; i < c.segments.size(); ++i) {
            EXPECT_EQ(segments[i].getStartAddress(), c.segments[i].address);
            EXPECT_EQ(segments[i].bytes(), c.segments[i].bytes);
        }
        EXPECT_EQ(segments.back().getStartAddress(), ChecksumAdder::checksumAddress);
        EXPECT_EQ(data->getHeader().getApiName(), "DRV12");
    }
}

// "S1 07 0000 11223344 ck" with a good checksum is: S1070000112233444E
TEST(FlashFileErrors, BadFilesGetTheirReasonForDataAndApi)
{
    kavreltest::TempDir dir;
    const std::string fifo = dir.str() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case { const char* name; std::string content, path; std::int32_t dataReason; } cases[] = {
        {"wrong checksum", "S1070000112233444F\n", "", 10}, {"S6 record", "S5030001FB\nS6030000FC\n", "", 10},
        {"S line too short", "S1\n", "", 10}, {"length differs from count", "S1080000112233444E\n", "", 10},
        {"not hex", "S10700001122334G4E\n", "", 10}, {"type not a digit", "SX070000112233444E\n", "", 10},
        {"count below address", "S1010000FE\n", "", 10}, {"bad S0 header record", "S0030000FB\nS1070000112233444E\n", "", 10},
        {"no records", "#FILE=x\nhello\n", "", 8}, {"empty", "", "", 8}, {"only odd records", "S106000011223393\n", "", 8},
        {"only an S5 count", "S5030001FB\n", "", 8}, {"missing", "", dir.str() + "missing.s", 2}, {"a folder", "", dir.str(), 4},
        {"a fifo: fails without blocking", "", fifo, 4}, {"a device", "", "/dev/null", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = c.path.empty() ? dir.write("bad.s", c.content).string() : c.path;
        for (bool api : {false, true}) {
            try {
                if (api) createFlashApiData(file)->load();
                else createFlashData(file)->getSegments();
                ADD_FAILURE() << "accepted";
            } catch (const FlashFileException& e) {
                EXPECT_EQ(e.getReason(), api ? c.dataReason - 1 : c.dataReason);
                EXPECT_EQ(e.getFileName(), file);
                EXPECT_NE(e.getErrorText().find(file), std::string::npos) << e.getErrorText();
            }
        }
    }
}

TEST(FlashFileReading, RecordsJoinByWordAddressAndGetOneChecksum)
{
    const std::string first = "S10B00000102030405060708D0\n", next = "S10B000411121314151617184C\n";
    struct Case { const char* name; std::string text; std::vector<std::size_t> sizes; bool added; } cases[] = {
        {"8 bytes at word 0 end at word 4: joined", first + next, {16, 4}, true},
        {"a record at word 5 starts anew", first + "S10B000511121314151617184B\n", {8, 8, 4}, true},
        {"an odd record breaks the chain", first + "S1060004AABBCCC4\n" + next, {8, 8, 4}, true},
        {"an S5 count is an empty segment", first + "S5030001FB\n", {8, 0, 4}, true},
        {"an own checksum, even behind an S5", "S107000001020304EE\nS309003F7FF4AABBCCDD36\nS5030002FA\n", {4, 4, 0},
         false},
    };
    kavreltest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto data = createFlashData(dir.write("j.s", c.text).string());
        std::vector<std::size_t> sizes;
        for (const auto& s : data->getSegments()) sizes.push_back(s.size());
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(data->checksumAdded(), c.added);
    }
    // 01 02 03 04: sum 10 + (0x3FFEC - 4) * 0xFF = 0x03FBE822, low word first, each word high byte first.
    const auto checksum = createFlashData(dir.write("c.s", "S107000001020304EE\n").string())->getSegments().back();
    EXPECT_EQ(std::make_pair(checksum.getStartAddress(), checksum.bytes()),
              std::make_pair(ChecksumAdder::checksumAddress, std::vector<std::uint8_t>{0xE8, 0x22, 0x03, 0xFB}));
}

TEST(FlashFileHeader, KeysAndVersions)
{
    kavreltest::TempDir dir;
    const std::string file = dir.write("h.s",
        "#VERS=0102\n#KOMP=17\n#KOMP=17\n#KOMP=2A\n#VE RS=5\n#DESC=a = b\r\n#PROG=zz\nS107000001020304EE\n#DATE=late\n").string();
    const FlashDataHeader h = createFlashData(file)->getHeader(); // #DATE after the first record: not a header line
    EXPECT_EQ((std::vector<std::string>{h.versionText(), h.getDescription(), std::to_string(h.getProgramVersion()), h.getDate()}),
              (std::vector<std::string>{"000102", "a = b", "0", ""}));
    EXPECT_EQ(h.getComponents(), (std::set<std::uint32_t>{0x17, 0x2A}));
    EXPECT_EQ(createFlashData(dir.write("n.s", "S107000001020304EE\n#VERS=1\n").string())->getHeader().versionText(),
              "unknown");
    for (const auto& [line, version] : std::vector<std::pair<std::string, int>>{
             {"#FLASHPROTOCOLVERSION=2\n", 2}, {"#FLASHPROTOCOLVERSION = 3\n", 1}, {"# x FLASHPROTOCOLVERSION: 2\n", 1}})
        EXPECT_EQ(createFlashApiData(dir.write("a.s", line + "S107000001020304EE\n").string())->getProtocolVersion(),
                  version) << line;
}
