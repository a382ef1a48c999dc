#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "flashtools/FlashDataHeader.h"
#include "flashtools/MotoSFormReader.h"
#include "flashtools/SegmentData.h"

namespace Kavrel {

// Appends the image checksum the drive checks at the end of a download.
class ChecksumAdder {
public:
    static constexpr std::uint32_t checksumAddress = 0x3F7FF4;
    static constexpr std::uint32_t imageBytes = 0x3FFEC;

    // True when a checksum segment was appended; false when the image already ends with one.
    static bool apply(SegmentList& segments);
    // The 32-bit sum over the image as if the rest of the area held 0xFF.
    static std::uint32_t sum(const SegmentList& segments);
    // The four bytes as they go to the drive: low word first, each word high byte first.
    static std::array<std::uint8_t, 4> bytesOf(std::uint32_t sum);
};

// The firmware image and its header, loaded on first use.
class FlashData {
public:
    explicit FlashData(std::shared_ptr<FlashDataReader> reader);
    // Segments, checksum included; throws FlashException (reasons 8, 10).
    const SegmentList& getSegments();
    FlashDataHeader getHeader();
    std::string getFileName() const;
    // Whether the checksum segment was added (false: the file carried one).
    bool checksumAdded() const { return added; }

private:
    std::mutex mutex;
    std::shared_ptr<FlashDataReader> reader;
    SegmentList segments;
    bool loaded = false;
    bool added = false;
    std::optional<FlashDataHeader> header;
};

// The loader sent into the drive's RAM first.
class FlashApiData {
public:
    explicit FlashApiData(std::shared_ptr<FlashApiDataReader> reader);
    // Throws FlashException (reasons 7, 9).
    const SegmentList& getSegments();
    // 1 or 2.
    int getProtocolVersion();
    // Protocol version, then segments.
    void load();
    std::string getFileName() const;

private:
    std::mutex mutex;
    std::shared_ptr<FlashApiDataReader> reader;
    SegmentList segments;
    bool loaded = false;
    std::optional<int> protocolVersion;
};

// Check the file (reasons 2/4 and 1/3) and make the object; nothing is read yet.
std::shared_ptr<FlashData> createFlashData(const std::string& fileName);
std::shared_ptr<FlashApiData> createFlashApiData(const std::string& fileName);

} // namespace Kavrel
