#include "flashtools/MotoSFormReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "flashtools/FlashException.h"

namespace Kavrel {

using commonbase::cat;

// ---- line reader ----------------------------------------------------------

FlashLineReader::~FlashLineReader() { close(); }

int FlashLineReader::open(const std::string& path)
{
    close();
    // Non-blocking: a FIFO given by mistake must never hang the caller.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return 2;
    }
    buffer.resize(64 * 1024);
    begin = end = 0;
    eof = early = false;
    // A first read proves the file readable; what it got is kept.
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
        close();
        return 2;
    }
    end = static_cast<std::size_t>(n);
    eof = n == 0;
    return 0;
}

void FlashLineReader::openText(std::string_view text)
{
    close();
    buffer.assign(text.begin(), text.end());
    end = buffer.size();
    eof = inMemory = true;
    early = false;
}

void FlashLineReader::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    inMemory = false;
    begin = end = 0;
}

bool FlashLineReader::next(std::string_view& line)
{
    if (!isOpen() || early)
        return false;
    for (;;) {
        if (begin == end && eof)
            return false;
        const char* start = buffer.data() + begin;
        const void* lf = std::memchr(start, '\n', end - begin);
        std::size_t length = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : end - begin;
        if (lf || eof) {
            if (!lf && length == 0)
                return false;
            std::size_t content = length;
            if (content > 0 && start[content - 1] == '\r')
                --content;
            if (content > maxLine) {
                early = true;
                return false;
            }
            line = std::string_view(start, content);
            begin += lf ? length + 1 : length;
            return true;
        }
        if (length > maxLine + 1) { // no LF within the longest line allowed
            early = true;
            return false;
        }
        // Move the partial line to the front and fill the rest.
        std::memmove(buffer.data(), start, length);
        begin = 0;
        end = length;
        const ssize_t n = ::read(fd, buffer.data() + end, buffer.size() - end);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            early = true;
            return false;
        }
        if (n == 0)
            eof = true;
        end += static_cast<std::size_t>(n);
    }
}

// ---- path resolution -----------------------------------------------------

namespace {

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool sameIgnoringCase(const std::string& a, const char* b)
{
    const std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && std::tolower(x) != std::tolower(y))
            return false;
    }
    return true;
}

} // namespace

std::string resolveFlashFilePath(const std::string& name)
{
    std::string path = name;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    if (path.empty() || exists(path))
        return path;
    const bool absolute = path.front() == '/';
    std::string built = absolute ? "/" : "";
    std::size_t pos = absolute ? 1 : 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        std::string candidate = built + part;
        if (part != ".." && !exists(candidate)) {
            // One entry of the folder that matches ignoring case, or give up.
            std::string found;
            int matches = 0;
            if (DIR* dir = ::opendir(built.empty() ? "." : built.c_str())) {
                while (dirent* e = ::readdir(dir))
                    if (sameIgnoringCase(part, e->d_name)) {
                        found = e->d_name;
                        ++matches;
                    }
                ::closedir(dir);
            }
            if (matches != 1)
                return path;
            candidate = built + found;
        }
        built = candidate + (pos <= path.size() ? "/" : "");
    }
    return built;
}

// ---- S-record parsing ----------------------------------------------------

namespace {

struct HexTable {
    signed char v[256];
    constexpr HexTable() : v()
    {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<signed char>(10 + i);
            v['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexTable hexTable;

inline int hexByte(const char* p)
{
    const int hi = hexTable.v[static_cast<unsigned char>(p[0])];
    const int lo = hexTable.v[static_cast<unsigned char>(p[1])];
    return (hi | lo) < 0 ? -1 : (hi << 4) | lo;
}

constexpr int addressDigits[10] = {4, 4, 6, 8, 0, 4, 0, 8, 6, 4};

// One record: checks everything before looking at the type. The data go to
// out (at most 254 bytes). Returns false with why set when malformed.
bool decode(std::string_view line, int& type, std::uint32_t& address, std::uint8_t* out, std::size_t& dataLength,
            const char*& why)
{
    if (line.size() < 4) { why = "record shorter than 4 characters"; return false; }
    const int count = hexByte(line.data() + 2);
    if (count < 0) { why = "byte count is not hex"; return false; }
    if (line.size() != 4 + 2 * static_cast<std::size_t>(count)) { why = "length does not match the byte count"; return false; }
    const char t = line[1];
    if (t < '0' || t > '9') { why = "record type is not a digit"; return false; }
    type = t - '0';
    const int digits = addressDigits[type];
    if (count * 2 < digits + 2) { why = "byte count too small for the address"; return false; }
    unsigned sum = static_cast<unsigned>(count);
    address = 0;
    const char* p = line.data() + 4;
    for (int i = 0; i < digits / 2; ++i, p += 2) {
        const int b = hexByte(p);
        if (b < 0) { why = "address is not hex"; return false; }
        address = (address << 8) | static_cast<std::uint32_t>(b);
        sum += static_cast<unsigned>(b);
    }
    dataLength = static_cast<std::size_t>(count - digits / 2 - 1);
    for (std::size_t i = 0; i < dataLength; ++i, p += 2) {
        const int b = hexByte(p);
        if (b < 0) { why = "data are not hex"; return false; }
        out[i] = static_cast<std::uint8_t>(b);
        sum += static_cast<unsigned>(b);
    }
    const int checksum = hexByte(p);
    if (checksum < 0) { why = "checksum is not hex"; return false; }
    if (static_cast<unsigned>(checksum) != (~sum & 0xFFu)) { why = "checksum does not match"; return false; }
    return true;
}

} // namespace

bool MotoSFormSegmentReader::parseRecord(std::string_view line, int& type, std::uint32_t& address,
                                         std::vector<std::uint8_t>& data, std::string& why)
{
    std::uint8_t out[256];
    std::size_t length = 0;
    const char* reason = "";
    if (!decode(line, type, address, out, length, reason)) {
        why = reason;
        return false;
    }
    data.assign(out, out + length);
    return true;
}

void MotoSFormSegmentReader::read(FlashLineReader& reader, SegmentList& segments, Problem* problem)
{
    const std::size_t firstNew = segments.size();
    std::int64_t previousEnd = -1;
    std::uint8_t data[256];
    std::string_view line;
    std::size_t lineNumber = 0;
    while (reader.next(line)) {
        ++lineNumber;
        if (line.empty() || line[0] != 'S')
            continue;
        int type = 0;
        std::uint32_t address = 0;
        std::size_t length = 0;
        const char* why = "";
        if (!decode(line, type, address, data, length, why) || type == 6) {
            if (problem) {
                problem->line = lineNumber;
                problem->text = type == 6 && *why == '\0' ? "S6 record" : why;
            }
            commonbase::DbgInfo(2, __FILE__, [&] { return cat("format error in line ", lineNumber, ": ", why); });
            throw FormatException();
        }
        if (type == 0 || type >= 7)
            continue;
        if (length % 2 != 0) {
            // No data, and the next record starts a segment of its own: it must
            // never land behind bytes that were dropped.
            commonbase::DbgInfo(2, __FILE__, [&] {
                return cat("line ", lineNumber, ": record at 0x", commonbase::toHex(address, 4), " has ", length,
                           " data bytes, an odd count; its data are left out");
            });
            previousEnd = -1;
            continue;
        }
        if (static_cast<std::int64_t>(address) != previousEnd) {
            if (!(segments.size() > firstNew && segments.back().empty()))
                segments.emplace_back();
            segments.back().setStartAddress(address);
        }
        segments.back().append(data, length);
        previousEnd = static_cast<std::int64_t>(address) + static_cast<std::int64_t>(length / 2);
    }
    if (reader.endedEarly())
        commonbase::DbgInfo(2, __FILE__, [&] { return cat("reading stopped after line ", lineNumber,
                                                          ": a longer line than allowed or a read error"); });
}

// ---- file readers --------------------------------------------------------

void FileReaderMotoSForm::readHeaderLines()
{
    FlashLineReader reader;
    if (reader.open(resolveFlashFilePath(fileName)) != 0)
        return;
    std::string_view line;
    while (reader.next(line)) {
        if (line.size() >= 2 && line[0] == 'S')
            break;
        if (line.size() >= 2 && line[0] == '#')
            handleHeaderLine(std::string(line));
    }
}

void FileReaderMotoSForm::readSegmentsFrom(SegmentList& segments, std::int32_t emptyReason, std::int32_t formatReason)
{
    FlashLineReader reader;
    const int opened = reader.open(resolveFlashFilePath(fileName));
    if (opened != 0)
        throw FlashFileException(emptyReason, fileName);
    open = true;
    const std::size_t before = segments.size();
    try {
        MotoSFormSegmentReader::read(reader, segments);
    } catch (const MotoSFormSegmentReader::FormatException&) {
        open = false;
        throw FlashFileException(formatReason, fileName);
    }
    open = false;
    if (segments.size() == before)
        throw FlashFileException(emptyReason, fileName);
}

FlashDataHeader FlashDataReaderMotoSForm::readHeader()
{
    header = FlashDataHeader();
    readHeaderLines();
    return header;
}

bool FlashDataReaderMotoSForm::readSegments(SegmentList& segments)
{
    readSegmentsFrom(segments, FlashReason::dataEmpty, FlashReason::dataFormat);
    return true;
}

bool FlashApiDataReaderMotoSForm::readSegments(SegmentList& segments)
{
    readSegmentsFrom(segments, FlashReason::apiEmpty, FlashReason::apiFormat);
    return true;
}

int FlashApiDataReaderMotoSForm::readProtocolVersion()
{
    protocolVersion = 1;
    readHeaderLines();
    return protocolVersion;
}

void FlashApiDataReaderMotoSForm::handleHeaderLine(const std::string& line)
{
    const std::size_t key = line.find("FLASHPROTOCOLVERSION");
    if (key == std::string::npos)
        return;
    const std::size_t eq = line.find('=', key);
    if (eq == std::string::npos)
        return;
    if (commonbase::leadingDecimal(commonbase::trim(std::string_view(line).substr(eq + 1))) == 2)
        protocolVersion = 2;
}

} // namespace Kavrel
