#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "flashtools/FlashDataHeader.h"
#include "flashtools/SegmentData.h"

namespace Kavrel {

// Reads a file line by line from its own buffer: no stream, one read per
// 64 KiB. A line longer than maxLine characters ends the file there.
class FlashLineReader {
public:
    static constexpr std::size_t maxLine = 1046;

    FlashLineReader() = default;
    ~FlashLineReader();
    FlashLineReader(const FlashLineReader&) = delete;
    FlashLineReader& operator=(const FlashLineReader&) = delete;

    // Opens read-only and non-blocking; only a regular file is taken.
    // Returns 0, or 1 when it cannot be opened, 2 when it is not a readable regular file.
    int open(const std::string& path);
    // Reads lines from text held in memory instead of a file (fuzzing, tests).
    void openText(std::string_view text);
    void close();
    bool isOpen() const { return fd >= 0 || inMemory; }
    // The next line without its LF and one trailing CR; false at the end.
    bool next(std::string_view& line);
    // True when the file ended at an overlong line or a read error.
    bool endedEarly() const { return early; }

private:
    int fd = -1;
    std::vector<char> buffer;
    std::size_t begin = 0, end = 0;
    bool eof = false, early = false, inMemory = false;
};

// The file path as opened: "\" becomes "/", and a name that does not exist
// as written is matched component by component ignoring case, when that
// match is unique.
std::string resolveFlashFilePath(const std::string& name);

// Turns the S-record lines of a file into segments; addresses count 16-bit words.
class MotoSFormSegmentReader {
public:
    class FormatException {};
    // Line number and what was wrong with the first bad record (for logs and the CLI).
    struct Problem {
        std::size_t line = 0;
        std::string text;
    };

    // Appends the segments of the whole file to `segments`; throws FormatException.
    static void read(FlashLineReader& reader, SegmentList& segments, Problem* problem = nullptr);
    // Checks one record line (CR gone). Returns false with a text when malformed;
    // on success gives type, address and data.
    static bool parseRecord(std::string_view line, int& type, std::uint32_t& address,
                            std::vector<std::uint8_t>& data, std::string& why);
};

// The file part shared by both S-record readers.
class FileReaderMotoSForm {
public:
    explicit FileReaderMotoSForm(std::string fileName_) : fileName(std::move(fileName_)) {}
    virtual ~FileReaderMotoSForm() = default;
    const std::string& getFileName() const { return fileName; }

protected:
    virtual void handleHeaderLine(const std::string&) {}
    // Hands every "#" line before the first S line to handleHeaderLine.
    void readHeaderLines();
    // Reads the records; reasons for no segment and a format error come from the caller.
    void readSegmentsFrom(SegmentList& segments, std::int32_t emptyReason, std::int32_t formatReason);

    std::string fileName;
    bool open = false;
};

class FlashDataReader {
public:
    virtual ~FlashDataReader() = default;
    virtual FlashDataHeader readHeader() = 0;
    virtual bool readSegments(SegmentList& segments) = 0;
    virtual std::unique_ptr<FlashDataReader> clone() const = 0;
    virtual std::string getFileName() const = 0;
};

class FlashApiDataReader {
public:
    virtual ~FlashApiDataReader() = default;
    virtual bool readSegments(SegmentList& segments) = 0;
    virtual int readProtocolVersion() = 0;
    virtual std::unique_ptr<FlashApiDataReader> clone() const = 0;
    virtual std::string getFileName() const = 0;
};

class FlashDataReaderMotoSForm : public FlashDataReader, public FileReaderMotoSForm {
public:
    explicit FlashDataReaderMotoSForm(std::string fileName_) : FileReaderMotoSForm(std::move(fileName_)) {}
    FlashDataHeader readHeader() override;
    bool readSegments(SegmentList& segments) override;
    std::unique_ptr<FlashDataReader> clone() const override
    {
        return std::make_unique<FlashDataReaderMotoSForm>(fileName);
    }
    std::string getFileName() const override { return fileName; }

protected:
    void handleHeaderLine(const std::string& line) override { header.handleLine(line); }

private:
    FlashDataHeader header;
};

class FlashApiDataReaderMotoSForm : public FlashApiDataReader, public FileReaderMotoSForm {
public:
    explicit FlashApiDataReaderMotoSForm(std::string fileName_) : FileReaderMotoSForm(std::move(fileName_)) {}
    bool readSegments(SegmentList& segments) override;
    int readProtocolVersion() override;
    std::unique_ptr<FlashApiDataReader> clone() const override
    {
        return std::make_unique<FlashApiDataReaderMotoSForm>(fileName);
    }
    std::string getFileName() const override { return fileName; }

protected:
    void handleHeaderLine(const std::string& line) override;

private:
    int protocolVersion = 1;
};

} // namespace Kavrel
