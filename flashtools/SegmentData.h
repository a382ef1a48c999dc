#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Kavrel {

// One contiguous piece of a memory image. Its bytes live in 4096-byte chunks
// (one address/length record each in version-2 downloads); chunks are held by
// pointer so a growing image never copies what it already holds.
class SegmentData {
public:
    static constexpr std::size_t chunkSize = 4096;
    struct Chunk {
        std::uint32_t fill = 0;
        std::array<std::uint8_t, chunkSize> bytes;
    };

    SegmentData() = default;
    explicit SegmentData(std::uint32_t start) : startAddress(start) {}
    SegmentData(SegmentData&&) noexcept = default;
    SegmentData& operator=(SegmentData&&) noexcept = default;
    SegmentData(const SegmentData& other);
    SegmentData& operator=(const SegmentData& other);

    std::uint32_t getStartAddress() const { return startAddress; }
    void setStartAddress(std::uint32_t start) { startAddress = start; }
    std::size_t size() const { return byteCount; }
    bool empty() const { return byteCount == 0; }
    std::size_t chunkCount() const { return chunks.size(); }
    const Chunk& chunk(std::size_t i) const { return *chunks[i]; }

    void append(std::uint8_t byte) { append(&byte, 1); }
    void append(const std::uint8_t* data, std::size_t count);
    // All bytes in order (for tests and dumps; the download walks the chunks).
    std::vector<std::uint8_t> bytes() const;
    // "SegmentData(start,end , number = n)" with start and end in hex.
    std::string debugText() const;

private:
    std::uint32_t startAddress = 0;
    std::size_t byteCount = 0;
    std::vector<std::unique_ptr<Chunk>> chunks;
};

using SegmentList = std::vector<SegmentData>;

// Bytes of all segments.
std::size_t totalBytes(const SegmentList& segments);

} // namespace Kavrel
