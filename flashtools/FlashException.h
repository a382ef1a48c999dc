#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace Kavrel {

// A firmware-download failure: a reason (what went wrong, in the download's
// own numbering) and the error id registered for it (0xF00..0xF21). An id
// with no reason behind it (the general failure 0x80004005) keeps reason 0.
class FlashException {
public:
    // Error id of a cancel or a step that failed without a bus error.
    static constexpr std::uint32_t generalFailure = 0x80004005u;

    static FlashException fromReason(std::int32_t reason, std::string detail = {});
    static FlashException fromErrorId(std::uint32_t errorId, std::string detail = {});
    virtual ~FlashException() = default;

    std::int32_t getReason() const { return reason; }
    std::uint32_t getErrorId() const { return errorId; }
    // 0x80040000 | error id.
    std::int32_t getErrorCode() const { return static_cast<std::int32_t>(0x80040000u | errorId); }
    // The registry's text of the error id (0xF00's for an id without a reason),
    // then the detail the thrower gave, if any.
    virtual std::string getErrorText() const;
    virtual std::unique_ptr<FlashException> clone() const { return std::make_unique<FlashException>(*this); }
    const std::string& getDetail() const { return detail; }

    // The translation table, built and registered on first use.
    static std::uint32_t errorIdForReason(std::int32_t reason);
    static std::int32_t reasonForErrorId(std::uint32_t errorId);
    // Registers the texts of every download error id with the error registry.
    static void registerErrorIds();

protected:
    FlashException(std::int32_t reason_, std::uint32_t errorId_, std::string detail_)
        : reason(reason_), errorId(errorId_), detail(std::move(detail_))
    {
    }

private:
    std::int32_t reason;
    std::uint32_t errorId;
    std::string detail;
};

// A failure tied to one file: its text ends with the file label naming it.
class FlashFileException : public FlashException {
public:
    FlashFileException(std::int32_t reason, std::string fileName);
    const std::string& getFileName() const { return fileName; }
    std::string getErrorText() const override;
    std::unique_ptr<FlashException> clone() const override { return std::make_unique<FlashFileException>(*this); }

private:
    std::string fileName;
};

// Reasons of the download (the numbers a host sees through the error ids).
namespace FlashReason {
inline constexpr std::int32_t apiOpen = 1, dataOpen = 2, apiUnreadable = 3, dataUnreadable = 4;
inline constexpr std::int32_t apiEmpty = 7, dataEmpty = 8, apiFormat = 9, dataFormat = 10;
inline constexpr std::int32_t incompatible = 11, noFlashData = 12, noApiData = 13, noIcon = 14;
inline constexpr std::int32_t emptyHeaderInfo = 15, noHeader = 16, busy = 17, noProtocol = 18;
inline constexpr std::int32_t noProcess = 19, emptyProgressState = 20, threadStart = 21, noProgressState = 22;
inline constexpr std::int32_t writeRefused = 23, emptySettings = 24, emptyFinder = 25;
} // namespace FlashReason

} // namespace Kavrel
