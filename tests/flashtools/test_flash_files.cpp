#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "flash_test_files.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"

using namespace Kavrel;
using flashtest::makeSrec;
using flashtest::randomBytes;
using flashtest::run;
using flashtest::writeBinary;

namespace {

// The byte ranges srec_info reports for a word-addressed file ("Data: a - b" lines).
std::vector<std::pair<std::uint32_t, std::uint32_t>> srecInfoRanges(const std::string& file)
{
    std::istringstream in(run("srec_info " + file + " -motorola 2 2>/dev/null"));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    std::string line;
    while (std::getline(in, line)) {
        auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        auto start = line.find_last_of(" \t", dash - 1);
        ranges.emplace_back(std::stoul(line.substr(start + 1, dash - start - 1), nullptr, 16),
                            std::stoul(line.substr(dash + 3), nullptr, 16));
    }
    return ranges;
}

std::vector<std::uint8_t> srecCatBytes(const std::string& file, std::uint32_t lo, std::uint32_t hi)
{
    const std::string out = run("srec_cat " + file + " -motorola 2 -crop 0x" + commonbase::toHex(lo, 1) + " 0x" +
                                commonbase::toHex(hi + 1, 1) + " -offset -0x" + commonbase::toHex(lo, 1) +
                                " -o - -binary 2>/dev/null");
    return {out.begin(), out.end()};
}

std::string lowerHex(const std::string& file)
{
    // Only the records' hex digits: the "S" and the header lines stay as they are.
    std::string text = kavreltest::readFile(file), out;
    bool record = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 0 || text[i - 1] == '\n') record = c == 'S';
        const bool digit = record && c >= 'A' && c <= 'F' && !(i == 0 || text[i - 1] == '\n');
        out += digit ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::string crlf(const std::string& file)
{
    std::string text = kavreltest::readFile(file), out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

} // namespace

struct ReaderCase {
    const char* name;
    std::string inputs;  // relative to the temp dir: a.bin, b.bin
    std::string options;
    int transform;       // 0 none, 1 lower case, 2 CRLF
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class FlashFileReading : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(FlashFileReading, SegmentsMatchSrecord)
{
    const ReaderCase& c = GetParam();
    kavreltest::TempDir dir;
    writeBinary(dir, "a.bin", randomBytes(5000, 1));
    writeBinary(dir, "b.bin", randomBytes(777 * 2, 2));
    std::string inputs = c.inputs;
    for (const char* f : {"a.bin", "b.bin"})
        for (auto at = inputs.find(f); at != std::string::npos; at = inputs.find(f, at + dir.str().size() + 1))
            inputs.replace(at, std::strlen(f), dir.str() + f);
    std::string file = makeSrec(dir, "img.s", inputs, c.options, "#FILE=img\n#FAPI=DRV12\n");
    ASSERT_FALSE(file.empty()) << "srec_cat refused " << c.options;
    const auto ranges = srecInfoRanges(file);
    if (c.transform == 1) file = dir.write("img2.s", lowerHex(file)).string();
    if (c.transform == 2) file = dir.write("img2.s", crlf(file)).string();

    auto data = createFlashData(file);
    // srec_cat ends with an S5 count record: an empty segment that sends nothing.
    SegmentList segments;
    for (const auto& s : data->getSegments())
        if (!s.empty()) segments.push_back(s);
    ASSERT_TRUE(data->checksumAdded());
    ASSERT_EQ(segments.size(), ranges.size() + 1) << c.name;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(segments[i].getStartAddress() * 2u, ranges[i].first) << c.name << " segment " << i;
        EXPECT_EQ(segments[i].size(), ranges[i].second - ranges[i].first + 1) << c.name << " segment " << i;
        EXPECT_EQ(segments[i].bytes(), srecCatBytes(file, ranges[i].first, ranges[i].second)) << c.name;
    }
    EXPECT_EQ(segments.back().getStartAddress(), ChecksumAdder::checksumAddress);
    EXPECT_EQ(data->getHeader().getApiName(), "DRV12");
}

INSTANTIATE_TEST_SUITE_P(
    Srecord, FlashFileReading,
    ::testing::Values(ReaderCase{"S19", "a.bin -binary", "-address-length=2", 0},
                      ReaderCase{"S28 at 0x20000", "a.bin -binary -offset 0x20000", "-address-length=3", 0},
                      ReaderCase{"S37", "a.bin -binary -offset 0x100", "-address-length=4", 0},
                      ReaderCase{"gap", "a.bin -binary b.bin -binary -offset 0x3000", "-address-length=3", 0},
                      ReaderCase{"250-byte records", "a.bin -binary", "-address-length=4 -obs=250", 0},
                      ReaderCase{"lower case", "a.bin -binary b.bin -binary -offset 0x8000", "", 1},
                      ReaderCase{"CRLF", "a.bin -binary", "-address-length=3", 2}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

struct BadFile {
    const char* name;
    std::string content;
    std::int32_t dataReason;
};

// "S1 07 0000 11223344 ck" with a good checksum is: S1070000112233444E
TEST(FlashFileErrors, BadFilesGetTheirReasonForDataAndApi)
{
    const std::vector<BadFile> cases = {
        {"wrong checksum", "S1070000112233444F\n", 10},
        {"S6 record", "S5030001FB\nS6030000FC\n", 10},
        {"S line too short", "S1\n", 10},
        {"length differs from count", "S1080000112233444E\n", 10},
        {"not hex", "S10700001122334G4E\n", 10},
        {"type not a digit", "SX070000112233444E\n", 10},
        {"count below address", "S1010000FE\n", 10},
        {"bad S0 header record", "S0030000FB\nS1070000112233444E\n", 10},
        {"no records", "#FILE=x\nhello\n", 8},
        {"empty", "", 8},
        {"only odd records", "S106000011223393\n", 8},
        {"only an S5 count", "S5030001FB\n", 8},
    };
    kavreltest::TempDir dir;
    for (const auto& c : cases) {
        const std::string file = dir.write("bad.s", c.content).string();
        for (bool api : {false, true}) {
            try {
                if (api) createFlashApiData(file)->load();
                else createFlashData(file)->getSegments();
                ADD_FAILURE() << c.name << " was accepted";
            } catch (const FlashFileException& e) {
                EXPECT_EQ(e.getReason(), api ? c.dataReason - 1 : c.dataReason) << c.name;
                EXPECT_EQ(e.getFileName(), file);
            }
        }
    }
}

TEST(FlashFileErrors, OpeningFailsWithoutBlocking)
{
    kavreltest::TempDir dir;
    const std::string fifo = dir.str() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {dir.str() + "missing.s", 2}, {dir.str(), 4}, {fifo, 4}, {"/dev/null", 4}};
    for (const auto& [path, reason] : cases) {
        try {
            createFlashData(path);
            ADD_FAILURE() << path;
        } catch (const FlashFileException& e) {
            EXPECT_EQ(e.getReason(), reason) << path;
            EXPECT_NE(e.getErrorText().find(path), std::string::npos) << e.getErrorText();
        }
        try {
            createFlashApiData(path);
            ADD_FAILURE() << path;
        } catch (const FlashFileException& e) {
            EXPECT_EQ(e.getReason(), reason - 1) << path;
        }
    }
}

TEST(FlashFileReading, RecordsJoinByWordAddress)
{
    kavreltest::TempDir dir;
    // 8 bytes at word 0 end at word 4: a record at 4 continues, one at 5 does not;
    // an odd record breaks the chain, and the next record starts afresh.
    const std::string joined = dir.write("j.s", "S10B00000102030405060708D0\nS10B000411121314151617184C\n").string();
    const std::string split = dir.write("s.s", "S10B00000102030405060708D0\nS10B000511121314151617184B\n").string();
    const std::string odd = dir.write("o.s",
        "S10B00000102030405060708D0\nS1060004AABBCCC4\nS10B000411121314151617184C\n").string();
    const std::string counted = dir.write("c.s", "S10B00000102030405060708D0\nS5030001FB\n").string();
    EXPECT_EQ(createFlashData(joined)->getSegments().size(), 2u); // + checksum
    EXPECT_EQ(createFlashData(joined)->getSegments()[0].size(), 16u);
    EXPECT_EQ(createFlashData(split)->getSegments().size(), 3u);
    EXPECT_EQ(createFlashData(odd)->getSegments().size(), 3u);
    auto withCount = createFlashData(counted);
    const auto& segments = withCount->getSegments();
    ASSERT_EQ(segments.size(), 3u); // data, the empty S5 segment, one checksum
    EXPECT_TRUE(segments[1].empty());
    EXPECT_EQ(segments[2].getStartAddress(), ChecksumAdder::checksumAddress);
}

TEST(FlashFileReading, ChecksumIsLowWordFirstEachWordHighByteFirst)
{
    kavreltest::TempDir dir;
    // 01 02 03 04: sum 10 + (0x3FFEC - 4) * 0xFF = 0x03FBE822.
    auto data = createFlashData(dir.write("c.s", "S107000001020304EE\n").string());
    EXPECT_EQ(data->getSegments().back().bytes(), (std::vector<std::uint8_t>{0xE8, 0x22, 0x03, 0xFB}));
    // An image that ends with its own checksum segment gets none added, even behind an S5 count.
    auto own = createFlashData(dir.write("d.s", "S107000001020304EE\nS309003F7FF4AABBCCDD36\nS5030002FA\n").string());
    EXPECT_EQ(own->getSegments().size(), 3u);
    EXPECT_FALSE(own->checksumAdded());
    EXPECT_EQ(own->getSegments()[1].bytes(), (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST(FlashFileHeader, KeysAndVersions)
{
    kavreltest::TempDir dir;
    const std::string file = dir.write("h.s",
        "#VERS=0102\n#KOMP=17\n#KOMP=17\n#KOMP=2A\n#VE RS=5\n#DESC=a = b\r\n#PROG=zz\nS107000001020304EE\n#DATE=late\n").string();
    const FlashDataHeader h = createFlashData(file)->getHeader();
    EXPECT_EQ(h.versionText(), "000102");
    EXPECT_EQ(h.getComponents(), (std::set<std::uint32_t>{0x17, 0x2A}));
    EXPECT_EQ(h.getDescription(), "a = b");
    EXPECT_EQ(h.getProgramVersion(), 0u);
    EXPECT_EQ(h.getDate(), ""); // after the first record: not a header line
    const FlashDataHeader none = createFlashData(dir.write("n.s", "S107000001020304EE\n#VERS=1\n").string())->getHeader();
    EXPECT_EQ(none.versionText(), "unknown");

    for (const auto& [line, version] : std::vector<std::pair<std::string, int>>{
             {"#FLASHPROTOCOLVERSION=2\n", 2}, {"#FLASHPROTOCOLVERSION = 3\n", 1}, {"# x FLASHPROTOCOLVERSION: 2\n", 1}}) {
        auto api = createFlashApiData(dir.write("a.s", line + "S107000001020304EE\n").string());
        EXPECT_EQ(api->getProtocolVersion(), version) << line;
    }
}
