#include "FlashResponder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include "Drive.h"
#include "DriveTable.h"

namespace drivesim {

using namespace std::chrono;

namespace {

// Register addresses: (index * 128 + subindex) * 2.
constexpr std::uint16_t regTest = (1 * 128 + 11) * 2;     // 1.11, the test-mode word
constexpr std::uint16_t regRequest = (1 * 128 + 26) * 2;  // 1.26, the flash request
constexpr std::uint16_t regCommand = (4 * 128 + 13) * 2;  // 4.13, action codes
constexpr std::uint16_t regData = (4 * 128 + 14) * 2;     // 4.14, records, data, erase status

constexpr std::uint32_t checksumAddress = 0x3F7FF4;
constexpr std::uint32_t checksumArea = 0x3FFEC;
constexpr std::uint16_t allSections = 0x03FF;

// Exception codes of the download (README): a telegram that is malformed or
// out of order, a step refused on purpose, a wrong image checksum, and any
// other request while the drive is in its flash mode.
constexpr std::uint8_t excOrder = excIllegalValue;
constexpr std::uint8_t excRefused = excDeviceFailure;
constexpr std::uint8_t excChecksum = 0x08;
constexpr std::uint8_t excBusy = 0x06;

std::uint16_t word(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

bool flashRegister(std::uint16_t r)
{
    return r == regTest || r == regTest + 1 || r == regRequest || r == regRequest + 1 ||
           (r >= regCommand && r <= regData + 1);
}

// A well-formed Write Multiple Registers request (the table's checks, so
// that a malformed one gets the same answer as anywhere else).
bool wellFormedWrite(const std::vector<std::uint8_t>& rq)
{
    if (rq.size() < 7 || rq[1] != 0x10)
        return false;
    std::uint16_t count = word(rq, 4);
    return count >= 1 && count <= 123 && rq[6] == count * 2 && rq.size() == 7u + rq[6];
}

std::vector<std::uint8_t> writeEcho(const std::vector<std::uint8_t>& rq)
{
    return {rq[0], 0x10, rq[2], rq[3], rq[4], rq[5]};
}

} // namespace

bool FlashOptions::addRefusal(const std::string& text)
{
    static const std::map<std::string, Step> names{{"test", Step::test},   {"request", Step::request},
                                                   {"api", Step::api},     {"jump", Step::jump},
                                                   {"erase", Step::erase}, {"finish", Step::finish}};
    if (auto it = names.find(text); it != names.end()) {
        refuse.insert(it->second);
        return true;
    }
    std::uint64_t n = 0;
    if (text.rfind("data:", 0) == 0 && parseNumber(text.substr(5), n) && n >= 1) {
        refuseData.insert(n);
        return true;
    }
    return false;
}

void FlashImage::write(std::uint32_t wordAddress, const std::uint8_t* bytes, std::size_t count)
{
    // Blocks mostly follow one another: extend the run that ends here.
    auto it = runs.upper_bound(wordAddress);
    if (it != runs.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.size() / 2 == wordAddress) {
            prev->second.insert(prev->second.end(), bytes, bytes + count);
            return;
        }
    }
    auto& run = runs[wordAddress];
    run.assign(bytes, bytes + count);
}

std::size_t FlashImage::bytes() const
{
    std::size_t n = 0;
    for (const auto& [a, run] : runs)
        n += run.size();
    return n;
}

std::map<std::uint32_t, std::uint16_t> FlashImage::words() const
{
    std::map<std::uint32_t, std::uint16_t> out;
    for (const auto& [a, run] : runs)
        for (std::size_t i = 0; i + 1 < run.size(); i += 2)
            out[a + static_cast<std::uint32_t>(i / 2)] = static_cast<std::uint16_t>((run[i] << 8) | run[i + 1]);
    return out;
}

bool FlashResponder::checksumMatches(const std::map<std::uint32_t, std::uint16_t>& words, std::uint32_t& expected,
                                     std::uint32_t& stored, bool& present)
{
    // The bytes of the image, counted as if the rest of the area held 0xFF,
    // low word first at 0x3F7FF4.
    std::uint32_t sum = 0, count = 0;
    for (const auto& [a, w] : words)
        if (a != checksumAddress && a != checksumAddress + 1) {
            sum += static_cast<std::uint32_t>(w >> 8) + (w & 0xFFu);
            count += 2;
        }
    expected = sum + (checksumArea - count) * 0xFFu;
    auto low = words.find(checksumAddress), high = words.find(checksumAddress + 1);
    present = low != words.end() && high != words.end();
    stored = present ? (static_cast<std::uint32_t>(high->second) << 16) | low->second : 0;
    return present && stored == expected;
}

std::vector<std::uint8_t> FlashResponder::refuse(Drive& d, const std::vector<std::uint8_t>& rq, std::uint8_t code)
{
    // As every refusal of this drive: the reason stays in the diagnostic register.
    d.setDiagnostic(code);
    if (code == excOrder || code == excBusy) {
        // What the drive waited for, so that a host's wrong step is easy to find.
        static const char* const expects[] = {"action 1 or 3", "API record", "action 2", "API data", "action 4",
                                              "section mask", "action 5 (or 6 once erased)", "status read",
                                              "data record", "action 7", "flash data", "action 6 or 8"};
        auto it = sessions.find(d.id());
        const char* at = it == sessions.end() || it->second.phase == Phase::idle ? "the test word"
                         : it->second.phase == Phase::test                        ? "the flash request"
                                                   : expects[static_cast<int>(it->second.expect)];
        char text[160];
        std::snprintf(text, sizeof text, "function 0x%02X at register 0x%04X refused with 0x%02X, waiting for %s",
                      rq[1], rq.size() >= 4 ? word(rq, 2) : 0, code, at);
        std::cerr << "kavrel-drive-sim: flash " << d.id() << ": " << text << std::endl;
    }
    return {rq[0], static_cast<std::uint8_t>(rq[1] | 0x80), code};
}

std::optional<std::vector<std::uint8_t>> FlashResponder::answer(Drive& d, const std::vector<std::uint8_t>& rq)
{
    event = FlashEvent::none;
    if (rq.size() < 2 || rq[1] == 0x08)
        return std::nullopt; // the diagnostic register stays readable in every mode
    Session& s = sessions[d.id()];
    bool write = wellFormedWrite(rq), read = rq[1] == 0x03 && rq.size() == 6;
    std::uint16_t first = (write || read) ? word(rq, 2) : 0;
    bool ours = (write || read) && flashRegister(first);

    if (write && first == regTest && s.phase != Phase::loader) {
        if (word(rq, 4) != 2 || std::memcmp(&rq[7], "TEST", 4) != 0)
            return refuse(d, rq, excOrder);
        if (options.refuse.count(FlashOptions::Step::test))
            return refuse(d, rq, excRefused);
        s = Session{};
        s.phase = Phase::test;
        return writeEcho(rq);
    }
    if (s.phase == Phase::idle || s.phase == Phase::test) {
        if (!ours)
            return std::nullopt; // the firmware runs: the table answers
        static const std::uint8_t flashRequest[4] = {0x00, 0x00, 0xA5, 0x50};
        if (s.phase != Phase::test || !write || first != regRequest || word(rq, 4) != 2 ||
            std::memcmp(&rq[7], flashRequest, 4) != 0)
            return refuse(d, rq, excOrder);
        if (options.refuse.count(FlashOptions::Step::request))
            return refuse(d, rq, excRefused);
        s.phase = Phase::boot;
        s.expect = Expect::apiAction;
        return writeEcho(rq);
    }
    // In the flash mode the drive knows nothing but the download.
    if (!ours)
        return refuse(d, rq, excBusy);
    if (write && first == regCommand && word(rq, 4) == 2 && word(rq, 7) == 0)
        return action(d, s, rq, word(rq, 9));
    if (write && first == regData)
        return dataWrite(d, s, rq);
    if (read && first == regData)
        return statusRead(d, s, rq);
    return refuse(d, rq, excOrder);
}

std::vector<std::uint8_t> FlashResponder::action(Drive& d, Session& s, const std::vector<std::uint8_t>& rq,
                                                 std::uint16_t code)
{
    using Step = FlashOptions::Step;
    auto next = [&](Expect e) {
        s.expect = e;
        return writeEcho(rq);
    };
    switch (code) {
    case 1:
        if (s.expect == Expect::apiAction)
            return next(Expect::apiRecord);
        break;
    case 2:
        if (s.expect == Expect::apiAction2)
            return next(Expect::apiBlocks);
        break;
    case 3:
        if (s.expect != Expect::apiAction || s.apiBlocks == 0)
            break;
        if (options.refuse.count(Step::jump))
            return refuse(d, rq, excRefused);
        s.phase = Phase::loader;
        event = FlashEvent::jumped;
        return next(Expect::eraseAction);
    case 4:
        if (s.expect != Expect::eraseAction)
            break;
        if (options.refuse.count(Step::erase))
            return refuse(d, rq, excRefused);
        return next(Expect::eraseMask);
    case 5:
        if (s.expect == Expect::statusAction)
            return next(Expect::statusRead);
        break;
    case 6:
        if ((s.expect == Expect::statusAction && s.erased) || s.expect == Expect::dataNext)
            return next(Expect::dataRecord);
        break;
    case 7:
        if (s.expect == Expect::dataAction)
            return next(Expect::dataBlocks);
        break;
    case 8:
        if (s.expect != Expect::dataNext)
            break;
        if (options.refuse.count(Step::finish))
            return refuse(d, rq, excRefused);
        return finish(d, s, rq);
    default: break;
    }
    return refuse(d, rq, excOrder);
}

std::vector<std::uint8_t> FlashResponder::dataWrite(Drive& d, Session& s, const std::vector<std::uint8_t>& rq)
{
    std::uint16_t count = word(rq, 4);
    switch (s.expect) {
    case Expect::apiRecord:
    case Expect::dataRecord: {
        if (count != 4)
            break;
        std::uint32_t length = (static_cast<std::uint32_t>(word(rq, 7)) << 16) | word(rq, 9);
        if (length == 0)
            break;
        s.remaining = length;
        s.address = (static_cast<std::uint32_t>(word(rq, 11)) << 16) | word(rq, 13);
        bool api = s.expect == Expect::apiRecord;
        s.dataRecords += api ? 0 : 1;
        s.expect = api ? Expect::apiAction2 : Expect::dataAction;
        return writeEcho(rq);
    }
    case Expect::apiBlocks:
    case Expect::dataBlocks: {
        if (count > s.remaining)
            break;
        bool api = s.expect == Expect::apiBlocks;
        if (api ? options.refuse.count(FlashOptions::Step::api) > 0 : options.refuseData.count(s.dataBlocks + 1) > 0)
            return refuse(d, rq, excRefused);
        (api ? s.api : s.flash).write(s.address, &rq[7], rq[6]);
        ++(api ? s.apiBlocks : s.dataBlocks);
        s.address += count;
        s.remaining -= count;
        if (s.remaining == 0)
            s.expect = api ? Expect::apiAction : Expect::dataNext;
        return writeEcho(rq);
    }
    case Expect::eraseMask: {
        if (count != 2 || word(rq, 7) != 0 || word(rq, 9) == 0 || (word(rq, 9) & ~allSections) != 0)
            break;
        s.eraseMask = word(rq, 9);
        s.eraseStart = steady_clock::now();
        s.erased = false;
        s.expect = Expect::statusAction;
        return writeEcho(rq);
    }
    default: break;
    }
    return refuse(d, rq, excOrder);
}

std::uint16_t FlashResponder::currentMask(const Session& s) const
{
    if (options.eraseStuck)
        return s.eraseMask;
    // Section i is done after (i + 1) tenths of the erase time.
    auto elapsed = duration_cast<microseconds>(steady_clock::now() - s.eraseStart).count();
    std::uint16_t mask = s.eraseMask;
    for (unsigned i = 0; i < 10; ++i)
        if (elapsed >= static_cast<long long>(options.eraseMs) * 100 * (i + 1))
            mask = static_cast<std::uint16_t>(mask & ~(1u << i));
    return mask;
}

std::vector<std::uint8_t> FlashResponder::statusRead(Drive& d, Session& s, const std::vector<std::uint8_t>& rq)
{
    // Two registers, the mask in the low word: eight hexadecimal digits on the host's side.
    if (s.expect != Expect::statusRead || word(rq, 4) != 2)
        return refuse(d, rq, excOrder);
    std::uint16_t mask = currentMask(s);
    s.erased = s.erased || mask == 0;
    s.expect = Expect::statusAction;
    return {rq[0], 0x03, 0x04, 0x00, 0x00, static_cast<std::uint8_t>(mask >> 8), static_cast<std::uint8_t>(mask & 0xFF)};
}

std::vector<std::uint8_t> FlashResponder::finish(Drive& d, Session& s, const std::vector<std::uint8_t>& rq)
{
    auto words = s.flash.words();
    std::uint32_t expected = 0, stored = 0;
    bool present = false;
    if (!checksumMatches(words, expected, stored, present)) {
        char text[128];
        if (present)
            std::snprintf(text, sizeof text, "checksum 0x%08X, the image gives 0x%08X", stored, expected);
        else
            std::snprintf(text, sizeof text, "no checksum at 0x%06X, the image gives 0x%08X", checksumAddress, expected);
        std::cerr << "kavrel-drive-sim: flash " << d.id() << ": " << text << std::endl;
        return refuse(d, rq, excChecksum);
    }
    // The files are complete before the host hears of the finish.
    dump(d.id(), s);
    char line[200];
    std::snprintf(line, sizeof line,
                  "flash %u finished: api %zu bytes in %llu blocks, data %zu bytes in %llu records and %llu blocks, "
                  "checksum 0x%08X",
                  static_cast<unsigned>(d.id()), s.api.bytes(), static_cast<unsigned long long>(s.apiBlocks),
                  s.flash.bytes(), static_cast<unsigned long long>(s.dataRecords),
                  static_cast<unsigned long long>(s.dataBlocks), stored);
    std::cout << line << std::endl;
    sessions.erase(d.id());
    event = FlashEvent::finished;
    return writeEcho(rq);
}

void FlashResponder::dump(std::uint32_t id, const Session& s) const
{
    if (options.dumpDir.empty())
        return;
    const std::pair<const char*, const FlashImage*> files[] = {{"api-", &s.api}, {"flash-", &s.flash}};
    for (const auto& [prefix, image] : files) {
        auto path = std::filesystem::path(options.dumpDir) / (std::string(prefix) + std::to_string(id) + ".srec");
        auto temp = path;
        temp += ".part";
        // Written aside and renamed, so that a reader never sees half a file.
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << srecordText(image->words());
            if (!out.flush()) {
                std::cerr << "kavrel-drive-sim: cannot write '" << temp.string() << "': " << std::strerror(errno)
                          << std::endl;
                continue;
            }
        }
        std::error_code ec;
        std::filesystem::rename(temp, path, ec);
        if (ec)
            std::cerr << "kavrel-drive-sim: cannot write '" << path.string() << "': " << ec.message() << std::endl;
    }
}

std::string srecordText(const std::map<std::uint32_t, std::uint16_t>& words)
{
    constexpr std::size_t wordsPerRecord = 16;
    std::string out;
    char hex[3];
    auto it = words.begin();
    while (it != words.end()) {
        std::uint32_t start = it->first;
        std::vector<std::uint8_t> body{0, static_cast<std::uint8_t>(start >> 24), static_cast<std::uint8_t>(start >> 16),
                                       static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start)};
        for (std::size_t n = 0; it != words.end() && n < wordsPerRecord && it->first == start + n; ++it, ++n) {
            body.push_back(static_cast<std::uint8_t>(it->second >> 8));
            body.push_back(static_cast<std::uint8_t>(it->second & 0xFF));
        }
        body[0] = static_cast<std::uint8_t>(body.size()); // address + data + checksum
        std::uint8_t sum = 0;
        out += "S3";
        for (auto b : body) {
            sum = static_cast<std::uint8_t>(sum + b);
            std::snprintf(hex, sizeof hex, "%02X", b);
            out += hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", static_cast<std::uint8_t>(~sum));
        out += hex;
        out += '\n';
    }
    return out;
}

} // namespace drivesim
