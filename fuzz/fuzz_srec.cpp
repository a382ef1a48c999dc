// libFuzzer target: S-record files with header lines, as the flash data and
// loader readers take them (records into segments, the checksum, header keys
// and the loader's protocol version). Any input must end in segments or a
// format error, never a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "flashtools/FlashData.h"
#include "flashtools/FlashDataHeader.h"
#include "flashtools/MotoSFormReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Kavrel::FlashLineReader reader;

    // Header lines up to the first record, as both readers see them.
    reader.openText(text);
    Kavrel::FlashDataHeader header;
    std::string_view line;
    while (reader.next(line)) {
        if (line.size() >= 2 && line[0] == 'S')
            break;
        if (line.size() >= 2 && line[0] == '#')
            header.handleLine(std::string(line));
    }
    (void)header.versionText();
    (void)header.programVersionText();

    reader.openText(text);
    Kavrel::SegmentList segments;
    try {
        Kavrel::MotoSFormSegmentReader::read(reader, segments);
    } catch (const Kavrel::MotoSFormSegmentReader::FormatException&) {
        return 0;
    }
    if (Kavrel::totalBytes(segments) > 0)
        Kavrel::ChecksumAdder::apply(segments);
    for (const auto& s : segments)
        (void)s.debugText();
    return 0;
}
