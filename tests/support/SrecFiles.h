#pragma once
// Flash and loader files for tests, written by srecord's srec_cat: an S-record
// implementation independent of ours. Addresses count 16-bit words.
#include <cstdint>
#include <algorithm>
#include <string>
#include <vector>
#include "support/TestSupport.h"

namespace kavreltest {

struct SrecSegment {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

inline std::vector<std::uint8_t> patternBytes(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 7);
    }
    return out;
}

// What a drive expects last: at word 0x3F7FF4 the sum of the bytes, the rest of
// a 0x3FFEC-byte area counted as 0xFF, as bits 15-8, 7-0, 31-24, 23-16.
inline SrecSegment checksumSegment(const std::vector<SrecSegment>& segments)
{
    std::uint32_t sum = 0x3FFECu * 0xFFu;
    for (const auto& s : segments)
        for (auto b : s.bytes) sum += b - 0xFFu;
    auto byte = [&](int shift) { return static_cast<std::uint8_t>(sum >> shift); };
    return {0x3F7FF4, {byte(8), byte(0), byte(24), byte(16)}};
}

// srec_cat writes the segments word-addressed with its further options, behind
// the header lines. The file's path, or "" when srec_cat refused.
inline std::string writeSrec(const TempDir& dir, const std::string& name, const std::vector<SrecSegment>& segments,
                             const std::string& options = "", const std::string& header = "")
{
    std::string command = "srec_cat";
    for (std::size_t i = 0; i < segments.size(); ++i)
        command += " " + dir.write(name + std::to_string(i), {segments[i].bytes.begin(), segments[i].bytes.end()}).string() +
                   " -binary -offset " + std::to_string(segments[i].address * 2ull);
    const std::string body = dir.str() + name + ".body";
    if (shell(command + " -o " + body + " -motorola 2 " + options) != 0) return {};
    return dir.write(name, header + readFile(body)).string();
}

// "" when srec_cmp finds the data of two word-addressed files equal, else what it said.
inline std::string srecCompare(const std::string& a, const std::string& b)
{
    std::string out;
    return shell("srec_cmp " + a + " -motorola 2 " + b + " -motorola 2", &out) == 0 ? "" : "srec_cmp: " + out;
}

// An image of `bytes` pattern bytes at word 0x100 and a loader speaking `version`.
struct FlashFiles {
    TempDir dir;
    std::vector<SrecSegment> image, loader;
    std::string imageFile, loaderFile;
    FlashFiles(std::size_t bytes, int version, std::size_t loaderBytes = 700)
        : image{{0x100, patternBytes(bytes, 11)}}, loader{{0, patternBytes(loaderBytes, 12)}},
          imageFile(writeSrec(dir, "image.s", image, "-address-length=3", "#FILE=image\n#KOMP=3\n#FAPI=DRV12\n")),
          loaderFile(writeSrec(dir, "loader.s", loader, "", "#FLASHPROTOCOLVERSION=" + std::to_string(version) + "\n")) {}
    // "" when what the simulated drive `id` dumped into dir is the loader and this image with its checksum.
    std::string compareDump(int id) const
    {
        auto expected = image;
        expected.push_back(checksumSegment(image));
        return srecCompare(dir.str() + "flash-" + std::to_string(id) + ".srec", writeSrec(dir, "expected.s", expected)) +
               srecCompare(dir.str() + "api-" + std::to_string(id) + ".srec", writeSrec(dir, "loader.s.s", loader));
    }
};

// The download as a drive sees it on Modbus: telegrams written into registers (index x 128 + subindex) x 2,
// built here independently of the library.
constexpr int regTest = (1 * 128 + 11) * 2, regRequest = (1 * 128 + 26) * 2, regParameter = (1 * 128 + 1) * 2;
constexpr int regCommand = (4 * 128 + 13) * 2, regData = (4 * 128 + 14) * 2;
constexpr std::size_t blockBytes = 246, chunkBytes = 4096;

enum class Kind { test, request, api, jump, erase, poll, data, finish, read };

struct Telegram {
    Kind kind;
    int reg = 0;
    std::vector<std::uint16_t> words;
    bool operator==(const Telegram& o) const { return reg == o.reg && words == o.words; }
};

struct Script {
    std::vector<Telegram> t;
    std::size_t first(Kind k) const
    {
        return std::find_if(t.begin(), t.end(), [&](const Telegram& x) { return x.kind == k; }) - t.begin();
    }
    std::vector<Telegram> before(Kind k) const { return {t.begin(), t.begin() + first(k)}; }
};

// The host's telegrams: the API always block by block, each with its
// address/length record; the flash data so too in version 1, one record per
// 4096-byte chunk in version 2.
inline Script download(const std::vector<SrecSegment>& api, const std::vector<SrecSegment>& data, int version)
{
    Script s{{{Kind::test, regTest, {0x5445, 0x5354}}, {Kind::request, regRequest, {0x0000, 0xA550}}}};
    auto put = [&](Kind k, int reg, std::initializer_list<std::uint32_t> w) {
        s.t.push_back({k, reg, {}});
        for (auto x : w) s.t.back().words.push_back(static_cast<std::uint16_t>(x));
    };
    auto segments = [&](const std::vector<SrecSegment>& list, Kind k, std::uint32_t action, bool chunkRecords) {
        for (const auto& seg : list)
            for (std::size_t c = 0; c < seg.bytes.size(); c += chunkBytes) {
                const std::size_t chunk = std::min(chunkBytes, seg.bytes.size() - c);
                for (std::size_t b = 0; b < chunk; b += blockBytes) {
                    const std::size_t n = std::min(blockBytes, chunk - b);
                    const auto words = static_cast<std::uint32_t>((chunkRecords ? chunk : n) / 2);
                    const auto address = static_cast<std::uint32_t>(seg.address + (c + b) / 2);
                    if (!chunkRecords || b == 0) {
                        put(k, regCommand, {0, action});
                        put(k, regData, {words >> 16, words, address >> 16, address});
                        put(k, regCommand, {0, action + 1});
                    }
                    put(k, regData, {});
                    for (std::size_t i = c + b; i + 1 < c + b + n; i += 2)
                        s.t.back().words.push_back(static_cast<std::uint16_t>(seg.bytes[i] << 8 | seg.bytes[i + 1]));
                }
            }
    };
    segments(api, Kind::api, 1, false);
    put(Kind::jump, regCommand, {0, 3});
    put(Kind::erase, regCommand, {0, 4});
    put(Kind::erase, regData, {0, 0x03FF});
    put(Kind::poll, 0, {});
    segments(data, Kind::data, 6, version == 2);
    put(Kind::finish, regCommand, {0, 8});
    return s;
}

} // namespace kavreltest
