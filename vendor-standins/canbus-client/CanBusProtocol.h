#pragma once
// The rawmode subset of the socketcand TCP protocol: ASCII messages
// "< ... >", shared by the bus server, the stand-in libraries and the
// drive simulator.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace canbus {

struct Frame {
    std::uint32_t id = 0;
    bool extended = false;
    std::uint8_t len = 0;
    std::uint8_t data[8] = {};
    std::uint64_t timestampUs = 0; // wall clock of the server, as received
};

// Collects bytes and cuts them into messages (the text between '<' and '>',
// trimmed). Bytes outside messages are skipped. A message longer than
// maxMessage characters marks the stream as broken.
class MessageReader {
public:
    explicit MessageReader(std::size_t maxMessage = 256) : maxMessage(maxMessage) {}
    void feed(const char* data, std::size_t n);
    // The next complete message's tokens (split at blanks), if any.
    std::optional<std::vector<std::string>> next();
    bool broken() const { return overlong; }

private:
    std::string buffer;
    std::size_t pos = 0;
    std::size_t maxMessage;
    bool overlong = false;
};

// Hex number of 1..8 digits, either case; false on anything else.
bool parseHex(const std::string& text, std::uint32_t& value);
// Decimal number without sign.
bool parseDecimal(const std::string& text, std::uint64_t& value);

// "< send ID LEN B0 .. >" tokens (with "send" at 0) into a frame: the id is
// extended when it has more than 3 digits or exceeds 0x7FF; LEN 0..8 and the
// byte count must agree.
bool parseSend(const std::vector<std::string>& tokens, Frame& frame);
// "< frame ID SEC.USEC DATA >" tokens into a frame.
bool parseFrameMessage(const std::vector<std::string>& tokens, Frame& frame);

// "< send 605 8 40 1 30 1 0 0 0 0 >" (upper-case hex, unpadded bytes; an
// extended id as 8 digits).
std::string formatSend(const Frame& frame);
// "< frame 585 1700000000.123456 4B01300134120000 >": id as 3 (8 for an
// extended one) upper-case hex digits, data contiguous upper-case hex.
std::string formatFrame(const Frame& frame);

// Bits a frame occupies on the wire: 47 + 8 x DLC (67 + 8 x DLC extended)
// plus the worst-case stuff bits.
unsigned frameBits(const Frame& frame);

// Bit rate in bit/s of an SJA1000 at 16 MHz with these bus-timing
// registers; 0 when they give no valid CAN bit timing (8..25 time quanta,
// at most 1 Mbit/s).
std::uint32_t bitrateFromBtr(std::uint8_t btr0, std::uint8_t btr1);

// An endpoint "HOST:PORT/BUS[@RATE]" as listed in KAVREL_CAN.
struct Endpoint {
    std::string text; // exactly as listed (trimmed)
    std::string host;
    std::uint16_t port = 0;
    std::string bus;
    std::uint32_t fixedRate = 0; // bit/s of @RATE, 0 when free
    static std::optional<Endpoint> parse(const std::string& text, std::string* error = nullptr);
};

// The endpoints of a comma-separated list; entries that do not parse are
// skipped (and named in errors when given).
std::vector<Endpoint> parseEndpointList(const std::string& list, std::vector<std::string>* errors = nullptr);
// parseEndpointList(getenv("KAVREL_CAN")).
std::vector<Endpoint> endpointsFromEnvironment();

} // namespace canbus
