#include "ModbusDllMaster.h"

#include <modbus.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modbusdll.h"

namespace modbusdll {

namespace {

constexpr std::size_t maxAnswerBytes = 256; // RTU frame limit
constexpr int broadcastUnit = 0;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool fromHex(const std::string& text, std::vector<std::uint8_t>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

std::string toHex(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::size_t word(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::size_t>(b[at]) * 256u + b[at + 1];
}

// Reads what has arrived, at most want bytes, waiting at most ms for the
// first of them: the count, 0 on time-out, -1 on a dead line.
int readSome(int fd, int ms, std::uint8_t* buffer, std::size_t want)
{
    // What is there already is taken without waiting (a terminal with no
    // minimum count answers 0 when nothing is there yet).
    const ssize_t ready = ::read(fd, buffer, want);
    if (ready > 0)
        return static_cast<int>(ready);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            return 0;
        if (r < 0 || (p.revents & POLLIN) == 0)
            return -1; // hang-up or error
        const ssize_t n = ::read(fd, buffer, want);
        if (n > 0)
            return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        return -1;
    }
}

} // namespace

ModbusDllMaster& ModbusDllMaster::instance()
{
    static ModbusDllMaster master;
    return master;
}

ModbusDllMaster::~ModbusDllMaster()
{
    closeLocked();
}

std::uint16_t ModbusDllMaster::crc16(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

bool ModbusDllMaster::isPseudoTerminal(const std::string& port)
{
    char resolved[PATH_MAX];
    if (::realpath(port.c_str(), resolved) && std::strncmp(resolved, "/dev/pts/", 9) == 0)
        return true;
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    // Unix98 pseudo-terminal slaves use majors 136 to 143.
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

int ModbusDllMaster::open(const std::string& port, int baudrate, int format)
{
    std::lock_guard<std::mutex> guard(lock);
    closeLocked();
    if (port.empty() || baudrate <= 0 || format < 0 || format > 15 || (format & 3) == 3)
        return MBDLL_BAD_ARGUMENT;
    char parity = "NEO"[format & 3];
    int dataBits = (format & MBDLL_DATABITS_7) ? 7 : 8;
    const int stopBits = (format & MBDLL_STOPBITS_2) ? 2 : 1;
    if ((parity != 'N' || dataBits != 8) && isPseudoTerminal(port)) {
        // A pseudo-terminal refuses parity and 7-bit characters, and carries
        // whole bytes anyway.
        std::fprintf(stderr, "modbusdll: %s is a pseudo-terminal: opened with no parity and 8 data bits instead of %c,%d,%d\n",
                     port.c_str(), parity, dataBits, stopBits);
        parity = 'N';
        dataBits = 8;
    }
    ctx = modbus_new_rtu(port.c_str(), baudrate, parity, dataBits, stopBits);
    if (!ctx)
        return MBDLL_OPEN_FAILED;
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        ctx = nullptr;
        return MBDLL_OPEN_FAILED;
    }
    return MBDLL_OK;
}

void ModbusDllMaster::closeLocked()
{
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
}

int ModbusDllMaster::close()
{
    std::lock_guard<std::mutex> guard(lock);
    const bool wasOpen = ctx != nullptr;
    closeLocked();
    return wasOpen ? MBDLL_OK : MBDLL_NOT_OPEN;
}

void ModbusDllMaster::setTimeouts(int turnaround, int reply, int character)
{
    std::lock_guard<std::mutex> guard(lock);
    turnaroundMs = turnaround < 0 ? 0 : turnaround;
    replyMs = reply < 1 ? 1 : reply;
    characterMs = character < 1 ? 1 : character;
}

void ModbusDllMaster::getTimeouts(int& turnaround, int& reply, int& character) const
{
    std::lock_guard<std::mutex> guard(lock);
    turnaround = turnaroundMs;
    reply = replyMs;
    character = characterMs;
}

std::size_t ModbusDllMaster::answerLength(const std::vector<std::uint8_t>& b, std::uint8_t requestFunction,
                                          std::uint8_t requestSubcode)
{
    if (b.size() < 2)
        return 0;
    const std::uint8_t function = b[1];
    if (function & 0x80u)
        return 5; // unit, function | 0x80, exception code, CRC
    switch (function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x17:
        return b.size() < 3 ? 0 : 3u + b[2] + 2u;
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x0F:
    case 0x10:
        return 8;
    case 0x2B: {
        // unit, 2B, 0E, read code, conformity, more, next id, count, objects
        if (b.size() < 3)
            return 0;
        if (b[2] != 0x0E)
            return crcDelimited;
        if (b.size() < 8)
            return 0;
        std::size_t at = 8;
        for (std::size_t n = 0; n < b[7]; ++n) {
            if (b.size() < at + 2)
                return 0;
            at += 2u + b[at + 1];
        }
        return at + 2;
    }
    case 0x5A:
        // unit, 5A, 00, 00, status, then by sub-code: an accepted open brings
        // the session, an accepted block its end flag, length and data.
        if (b.size() < 5)
            return 0;
        if (b[4] == 0xFE && requestFunction == 0x5A && requestSubcode == 0x33)
            return 9;
        if (b[4] == 0xFE && requestFunction == 0x5A && requestSubcode == 0x34)
            return b.size() < 9 ? 0 : 9u + word(b, 7) + 2u;
        return crcDelimited;
    default:
        return crcDelimited;
    }
}

int ModbusDllMaster::readAnswer(std::uint8_t function, std::uint8_t subcode, std::vector<std::uint8_t>& answer)
{
    const int fd = modbus_get_socket(ctx);
    const std::size_t crcMinimum = function == 0x5A ? 7u : 4u;
    std::uint8_t buffer[maxAnswerBytes];
    answer.clear();
    std::size_t checked = 0; // prefixes already tried as a CRC-delimited frame
    for (;;) {
        const std::size_t expected = answerLength(answer, function, subcode);
        if (expected != 0 && expected != crcDelimited) {
            if (expected > maxAnswerBytes)
                return MBDLL_BAD_REPLY;
            if (answer.size() >= expected) {
                answer.resize(expected); // whatever follows belongs to no request
                break;
            }
        } else if (expected == crcDelimited) {
            for (std::size_t n = std::max(checked + 1, crcMinimum); n <= answer.size(); ++n) {
                if (crc16(answer.data(), n - 2) == (answer[n - 2] | (answer[n - 1] << 8))) {
                    answer.resize(n);
                    return MBDLL_OK;
                }
            }
            checked = answer.size();
        }
        if (answer.size() >= maxAnswerBytes)
            return MBDLL_BAD_REPLY;
        const std::size_t want = (expected != 0 && expected != crcDelimited) ? expected - answer.size()
                                                                              : maxAnswerBytes - answer.size();
        const int n = readSome(fd, answer.empty() ? replyMs : characterMs, buffer, want);
        if (n <= 0) {
            if (answer.empty())
                return MBDLL_TIMEOUT;
            return expected == crcDelimited ? MBDLL_CRC_ERROR : MBDLL_BAD_REPLY;
        }
        answer.insert(answer.end(), buffer, buffer + n);
    }
    const std::size_t n = answer.size();
    if (crc16(answer.data(), n - 2) != (answer[n - 2] | (answer[n - 1] << 8)))
        return MBDLL_CRC_ERROR;
    return MBDLL_OK;
}

int ModbusDllMaster::exchange(const std::vector<std::uint8_t>& pdu, std::vector<std::uint8_t>& answer)
{
    if (!ctx)
        return MBDLL_NOT_OPEN;
    if (pdu.size() < 2 || pdu.size() > MODBUS_MAX_PDU_LENGTH + 1u)
        return MBDLL_BAD_ARGUMENT;
    // An answer that came too late for the last request must not be taken for this one's.
    modbus_flush(ctx);
    if (modbus_send_raw_request(ctx, pdu.data(), static_cast<int>(pdu.size())) < 0)
        return MBDLL_SEND_FAILED;
    if (pdu[0] == broadcastUnit) {
        answer.clear();
        ::usleep(static_cast<useconds_t>(turnaroundMs) * 1000u);
        return MBDLL_OK;
    }
    const int result = readAnswer(pdu[1], pdu.size() > 4 ? pdu[4] : 0, answer);
    if (result == MBDLL_OK)
        answer.resize(answer.size() - 2); // the CRC
    return result;
}

int ModbusDllMaster::direct(const std::string& requestHex, std::string& answerHex)
{
    std::lock_guard<std::mutex> guard(lock);
    answerHex.clear();
    std::vector<std::uint8_t> pdu;
    if (!fromHex(requestHex, pdu))
        return MBDLL_BAD_ARGUMENT;
    std::vector<std::uint8_t> answer;
    const int result = exchange(pdu, answer);
    if (result == MBDLL_OK)
        answerHex = toHex(answer);
    return result;
}

int ModbusDllMaster::readRegisters(int unit, int address, int count, std::uint16_t* values)
{
    if (!values || unit < 0 || unit > 247 || address < 0 || address > 0xFFFF || count < 1 || count > 125)
        return MBDLL_BAD_ARGUMENT;
    std::vector<std::uint8_t> pdu{static_cast<std::uint8_t>(unit), 0x03, static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), 0, static_cast<std::uint8_t>(count)};
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::uint8_t> answer;
    const int result = exchange(pdu, answer);
    if (result != MBDLL_OK)
        return result;
    if (answer.size() != 3u + 2u * static_cast<std::size_t>(count) || answer[1] != 0x03)
        return MBDLL_BAD_REPLY;
    for (int i = 0; i < count; ++i)
        values[i] = static_cast<std::uint16_t>(word(answer, 3u + 2u * static_cast<std::size_t>(i)));
    return MBDLL_OK;
}

int ModbusDllMaster::writeRegisters(int unit, int address, int count, const std::uint16_t* values)
{
    if (!values || unit < 0 || unit > 247 || address < 0 || address > 0xFFFF || count < 1 || count > 123)
        return MBDLL_BAD_ARGUMENT;
    std::vector<std::uint8_t> pdu{static_cast<std::uint8_t>(unit),    0x10, static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address), 0,    static_cast<std::uint8_t>(count),
                                  static_cast<std::uint8_t>(2 * count)};
    for (int i = 0; i < count; ++i) {
        pdu.push_back(static_cast<std::uint8_t>(values[i] >> 8));
        pdu.push_back(static_cast<std::uint8_t>(values[i]));
    }
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::uint8_t> answer;
    const int result = exchange(pdu, answer);
    if (result != MBDLL_OK || unit == broadcastUnit)
        return result;
    if (answer.size() != 6 || answer[1] != 0x10)
        return MBDLL_BAD_REPLY;
    return MBDLL_OK;
}

} // namespace modbusdll
