#include "flashtools/SegmentData.h"

#include <algorithm>
#include <cstring>

#include "commonbase/StringUtil.h"

namespace Kavrel {

SegmentData::SegmentData(const SegmentData& other) : startAddress(other.startAddress), byteCount(other.byteCount)
{
    chunks.reserve(other.chunks.size());
    for (const auto& c : other.chunks)
        chunks.push_back(std::make_unique<Chunk>(*c));
}

SegmentData& SegmentData::operator=(const SegmentData& other)
{
    if (this != &other) {
        SegmentData copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void SegmentData::append(const std::uint8_t* data, std::size_t count)
{
    while (count > 0) {
        if (chunks.empty() || chunks.back()->fill == chunkSize)
            chunks.push_back(std::make_unique<Chunk>());
        Chunk& last = *chunks.back();
        const std::size_t n = std::min<std::size_t>(count, chunkSize - last.fill);
        std::memcpy(last.bytes.data() + last.fill, data, n);
        last.fill += static_cast<std::uint32_t>(n);
        byteCount += n;
        data += n;
        count -= n;
    }
}

std::vector<std::uint8_t> SegmentData::bytes() const
{
    std::vector<std::uint8_t> out;
    out.reserve(byteCount);
    for (const auto& c : chunks)
        out.insert(out.end(), c->bytes.begin(), c->bytes.begin() + c->fill);
    return out;
}

std::string SegmentData::debugText() const
{
    return commonbase::cat("SegmentData(", commonbase::toHex(startAddress, 1), ",",
                           commonbase::toHex(startAddress + byteCount, 1), " , number = ", byteCount, ")");
}

std::size_t totalBytes(const SegmentList& segments)
{
    std::size_t n = 0;
    for (const auto& s : segments)
        n += s.size();
    return n;
}

} // namespace Kavrel
