#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace drivesim {

class Drive;

// Switches that shape the drives' side of a firmware download.
struct FlashOptions {
    enum class Step { test, request, api, jump, erase, data, finish };
    std::string dumpDir;             // api-ID.srec and flash-ID.srec after each finish
    unsigned eraseMs = 100;          // the sections clear one by one over this time
    bool eraseStuck = false;         // the erase mask never clears
    std::set<Step> refuse;           // steps answered with exception 0x04
    std::set<std::uint64_t> refuseData; // flash data blocks (from 1) answered with 0x04

    // "test", "request", "api", "jump", "erase", "data:N", "finish"; false on anything else.
    bool addRefusal(const std::string& text);
};

// Memory written by a download: runs of bytes keyed by their first word address.
class FlashImage {
public:
    void write(std::uint32_t wordAddress, const std::uint8_t* bytes, std::size_t count);
    void clear() { runs.clear(); }
    std::size_t bytes() const;
    // Word address -> 16-bit word (high byte first as sent); later writes win.
    std::map<std::uint32_t, std::uint16_t> words() const;

private:
    std::map<std::uint32_t, std::vector<std::uint8_t>> runs;
};

// What an answered telegram did to the drive's line.
enum class FlashEvent { none, jumped, finished };

// The drive side of the firmware download on Modbus: the test word to 1.11,
// the request to 1.26, actions to 4.13 and records, data and the erase status
// through 4.14. Every drive has its own session. Telegrams out of order get an
// exception; the parameter table never sees the download's registers.
class FlashResponder {
public:
    void configure(const FlashOptions& o) { options = o; }

    // The reply when the request belongs to the download (or is refused
    // because one runs); nothing when the parameter table is to answer.
    std::optional<std::vector<std::uint8_t>> answer(Drive& drive, const std::vector<std::uint8_t>& request);
    // What the last answer did; cleared by each answer.
    FlashEvent lastEvent() const { return event; }
    // Back to the running firmware, whatever the download had reached.
    void reset(std::uint32_t id) { sessions.erase(id); }

    // The image's checksum against the two words at 0x3F7FF4; false when
    // they differ or are missing.
    static bool checksumMatches(const std::map<std::uint32_t, std::uint16_t>& words, std::uint32_t& expected,
                                std::uint32_t& stored, bool& present);

private:
    enum class Phase { idle, test, boot, loader };
    enum class Expect {
        apiAction,   // action 1 (next API block) or 3 (jump)
        apiRecord,   // length and address of the API block
        apiAction2,  // action 2
        apiBlocks,   // the API block's data
        eraseAction, // action 4
        eraseMask,   // the section mask
        statusAction, // action 5, or 6 once the mask was read as 0
        statusRead,  // read of the status mask
        dataRecord,  // length and address of the flash block
        dataAction,  // action 7
        dataBlocks,  // the flash block's data
        dataNext,    // action 6 (next block) or 8 (finish)
    };
    struct Session {
        Phase phase = Phase::idle;
        Expect expect = Expect::apiAction;
        std::uint32_t address = 0, remaining = 0; // words of the announced block still to come
        std::uint16_t eraseMask = 0;
        bool erased = false;
        std::chrono::steady_clock::time_point eraseStart;
        FlashImage api, flash;
        std::uint64_t apiBlocks = 0, dataBlocks = 0, dataRecords = 0;
    };

    std::vector<std::uint8_t> refuse(Drive& d, const std::vector<std::uint8_t>& rq, std::uint8_t code);
    std::vector<std::uint8_t> action(Drive& d, Session& s, const std::vector<std::uint8_t>& rq, std::uint16_t code);
    std::vector<std::uint8_t> dataWrite(Drive& d, Session& s, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> statusRead(Drive& d, Session& s, const std::vector<std::uint8_t>& rq);
    std::vector<std::uint8_t> finish(Drive& d, Session& s, const std::vector<std::uint8_t>& rq);
    std::uint16_t currentMask(const Session& s) const;
    void dump(std::uint32_t id, const Session& s) const;

    FlashOptions options;
    std::map<std::uint32_t, Session> sessions;
    FlashEvent event = FlashEvent::none;
};

// Word-addressed S3 records of a memory image, ascending.
std::string srecordText(const std::map<std::uint32_t, std::uint16_t>& words);

} // namespace drivesim
