#pragma once
// Flash and loader files for tests, made by srecord's srec_cat: an S-record
// implementation independent of ours. Addresses count 16-bit words unless a
// style says otherwise.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kavreltest {

struct SrecSegment {
    std::uint32_t address = 0; // in words (the file's address unit)
    std::vector<std::uint8_t> bytes;
};

struct SrecStyle {
    int addressBytes = 4;       // 2: S1 (S9), 3: S2 (S8), 4: S3 (S7) records
    int recordBytes = 32;       // data bytes per record, up to 250
    bool byteAddressed = false; // addresses count bytes (srec_cat's default, -motorola 1)
    std::string s0;             // text of an S0 header record; empty: none
    bool dataCount = false;     // an S5 record after the data
    std::optional<std::uint32_t> start; // an S7/S8/S9 record with this address
    bool crlf = false;
    bool lowerCase = false;     // hexadecimal digits in lower case
    std::vector<std::string> headerLines; // text before the records, e.g. "#VERS=0102"
};

// Writes the segments as an S-record file; "" on success, else the reason.
std::string writeSrec(const std::filesystem::path& file, const std::vector<SrecSegment>& segments,
                      const SrecStyle& style = {});
// A loader file: a "FLASHPROTOCOLVERSION=N" header line, then the records.
std::string writeApiFile(const std::filesystem::path& file, int protocolVersion,
                         const std::vector<SrecSegment>& segments, SrecStyle style = {});

// n bytes of a fixed pseudo-random pattern (the same for the same seed).
std::vector<std::uint8_t> patternBytes(std::size_t n, std::uint32_t seed);

// The segment a flash image carries last: the 4-byte checksum at word
// 0x3F7FF4 (sum of the bytes, the rest of a 0x3FFEC-byte area counted as
// 0xFF; bits 15-8, 7-0, 31-24, 23-16).
SrecSegment checksumSegment(const std::vector<SrecSegment>& segments);

// Runs a program (no shell); gives its exit status and its output, standard
// error included; -1 when it could not be started or ran longer than timeout.
int runProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs = 30000);

// srec_cmp of two word-addressed files: "" when their data are equal,
// else what srec_cmp said.
std::string srecCompare(const std::filesystem::path& a, const std::filesystem::path& b);

} // namespace kavreltest
