#include "flashtools/FlashData.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "flashtools/FlashException.h"

namespace Kavrel {

using commonbase::cat;

namespace {

// The last segment that holds bytes; empty ones (an S5 count record) do not count.
const SegmentData* lastWithData(const SegmentList& segments)
{
    for (auto it = segments.rbegin(); it != segments.rend(); ++it)
        if (!it->empty())
            return &*it;
    return nullptr;
}

} // namespace

std::uint32_t ChecksumAdder::sum(const SegmentList& segments)
{
    std::uint32_t total = 0;
    std::uint32_t count = 0;
    for (const auto& s : segments) {
        for (std::size_t c = 0; c < s.chunkCount(); ++c) {
            const auto& chunk = s.chunk(c);
            for (std::uint32_t i = 0; i < chunk.fill; ++i)
                total += chunk.bytes[i];
            count += chunk.fill;
        }
    }
    commonbase::DbgInfo(1, __FILE__, [&] { return cat("ChecksumAdder sum = ", total); });
    total += (imageBytes - count) * 0xFFu;
    commonbase::DbgInfo(1, __FILE__, [&] { return cat("ChecksumAdder sum = ", total); });
    return total;
}

std::array<std::uint8_t, 4> ChecksumAdder::bytesOf(std::uint32_t sum)
{
    return {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 24),
            static_cast<std::uint8_t>(sum >> 16)};
}

bool ChecksumAdder::apply(SegmentList& segments)
{
    if (const SegmentData* last = lastWithData(segments); last && last->getStartAddress() == checksumAddress)
        return false;
    const auto bytes = bytesOf(sum(segments));
    SegmentData checksum(checksumAddress);
    checksum.append(bytes.data(), bytes.size());
    segments.push_back(std::move(checksum));
    return true;
}

FlashData::FlashData(std::shared_ptr<FlashDataReader> reader_) : reader(std::move(reader_)) {}

const SegmentList& FlashData::getSegments()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded)
        return segments;
    if (!reader)
        throw FlashException::fromReason(FlashReason::dataEmpty);
    SegmentList read;
    reader->readSegments(read);
    if (totalBytes(read) == 0)
        throw FlashFileException(FlashReason::dataEmpty, reader->getFileName());
    added = ChecksumAdder::apply(read);
    segments = std::move(read);
    loaded = true;
    return segments;
}

FlashDataHeader FlashData::getHeader()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!header) {
        if (!reader)
            throw FlashException::fromReason(FlashReason::dataEmpty);
        header = reader->readHeader();
    }
    return *header;
}

std::string FlashData::getFileName() const { return reader ? reader->getFileName() : std::string(); }

FlashApiData::FlashApiData(std::shared_ptr<FlashApiDataReader> reader_) : reader(std::move(reader_)) {}

const SegmentList& FlashApiData::getSegments()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded)
        return segments;
    if (!reader)
        throw FlashException::fromReason(FlashReason::apiEmpty);
    SegmentList read;
    reader->readSegments(read);
    if (totalBytes(read) == 0)
        throw FlashFileException(FlashReason::apiEmpty, reader->getFileName());
    segments = std::move(read);
    loaded = true;
    return segments;
}

int FlashApiData::getProtocolVersion()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!protocolVersion) {
        if (!reader)
            throw FlashException::fromReason(FlashReason::apiEmpty);
        protocolVersion = reader->readProtocolVersion();
    }
    return *protocolVersion;
}

void FlashApiData::load()
{
    getProtocolVersion();
    getSegments();
}

std::string FlashApiData::getFileName() const { return reader ? reader->getFileName() : std::string(); }

namespace {

void checkFile(const std::string& fileName, std::int32_t cannotOpen, std::int32_t unreadable)
{
    FlashLineReader probe;
    const int result = probe.open(resolveFlashFilePath(fileName));
    if (result == 1)
        throw FlashFileException(cannotOpen, fileName);
    if (result == 2)
        throw FlashFileException(unreadable, fileName);
}

} // namespace

std::shared_ptr<FlashData> createFlashData(const std::string& fileName)
{
    checkFile(fileName, FlashReason::dataOpen, FlashReason::dataUnreadable);
    return std::make_shared<FlashData>(std::make_shared<FlashDataReaderMotoSForm>(fileName));
}

std::shared_ptr<FlashApiData> createFlashApiData(const std::string& fileName)
{
    checkFile(fileName, FlashReason::apiOpen, FlashReason::apiUnreadable);
    return std::make_shared<FlashApiData>(std::make_shared<FlashApiDataReaderMotoSForm>(fileName));
}

} // namespace Kavrel
