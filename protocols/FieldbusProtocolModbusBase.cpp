#include "protocols/FieldbusProtocolModbusBase.h"

#include <mutex>
#include <string_view>
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

const char* const FieldbusProtocolModbusBase::templateRead = "03AAAALLLL";
const char* const FieldbusProtocolModbusBase::templateWrite = "10AAAALLLLBB";
const char* const FieldbusProtocolModbusBase::templateDiagnostics = "08AAAA0000";
const char* const FieldbusProtocolModbusBase::templatePing = "0300010001";
const char* const FieldbusProtocolModbusBase::templateIdentification = "2B0E0100";
const char* const FieldbusProtocolModbusBase::templateInitUpload = "5A0000335652322E00000020";
const char* const FieldbusProtocolModbusBase::templateGetUpload = "5A000034SSSSPPPP";
const char* const FieldbusProtocolModbusBase::templateFinishUpload = "5A000035SSSS0000";

namespace {

constexpr std::uint32_t functionRead = 0x03;
constexpr std::uint32_t functionWrite = 0x10;
constexpr std::uint32_t functionDiagnostics = 0x08;
constexpr std::uint32_t functionIdentification = 0x2B;
constexpr std::uint32_t functionUpload = 0x5A;
constexpr std::uint32_t statusAccepted = 0xFE;
constexpr std::uint16_t pokeIndex = 22;
constexpr std::uint16_t pokeSubindex = 10;

std::string hex(std::uint64_t value, int width)
{
    return commonbase::toHex(value, width, true);
}

constexpr char hexDigits[] = "0123456789ABCDEF";

// Value of a hex digit, or 16 for any other character.
unsigned digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    const char lower = static_cast<char>(c | 0x20);
    if (lower >= 'a' && lower <= 'f')
        return static_cast<unsigned>(lower - 'a' + 10);
    return 16;
}

bool allHex(std::string_view text)
{
    for (char c : text)
        if (digitValue(c) > 15)
            return false;
    return true;
}

// Digits at a text position that the caller has bounds-checked and validated.
std::uint32_t hexAt(const std::string& text, std::size_t position, std::size_t digits)
{
    std::uint32_t value = 0;
    for (std::size_t i = position; i < position + digits && i < text.size(); ++i)
        value = value << 4 | (digitValue(text[i]) & 0x0Fu);
    return value;
}

void appendHex(std::string& text, std::uint32_t value, int digits)
{
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        text.push_back(hexDigits[(value >> shift) & 0x0Fu]);
}

std::int32_t asResult(std::uint32_t code)
{
    return static_cast<std::int32_t>(code);
}

} // namespace

FieldbusProtocolModbusBase::FieldbusProtocolModbusBase(std::string name, Constants c,
                                                       std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocol(std::move(name), std::move(c), std::move(hardwareInterface))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    // Upload results carry these codes to the host, which looks their texts up.
    static std::once_flag registered;
    std::call_once(registered, [] {
        for (std::uint32_t code = errorReplyNotHex; code <= errorNoReply; ++code)
            commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(code & 0xFFFFu));
    });
}

FieldbusProtocolModbusBase::~FieldbusProtocolModbusBase() = default;

bool FieldbusProtocolModbusBase::registerAddress(std::uint16_t index, std::uint16_t subindex, std::uint32_t& address)
{
    address = (static_cast<std::uint32_t>(index) * 128u + subindex) * 2u;
    return address <= 0xFFFFu;
}

std::string FieldbusProtocolModbusBase::createHeader(const std::string& requestTemplate, std::uint32_t unit,
                                                     std::uint32_t a, std::uint32_t l, std::uint32_t s,
                                                     std::uint32_t p)
{
    struct Placeholder {
        std::string_view name;
        std::uint32_t value;
        int digits;
        bool done;
    };
    Placeholder placeholders[] = {
        {"AAAA", a & 0xFFFFu, 4, false}, {"LLLL", l & 0xFFFFu, 4, false}, {"BB", (l * 2u) & 0xFFu, 2, false},
        {"SSSS", s & 0xFFFFu, 4, false}, {"PPPP", p & 0xFFFFu, 4, false},
    };
    // Walk the template itself, so that substituted digits (an address 0BB0)
    // are never mistaken for a later placeholder.
    const std::string_view pattern(requestTemplate);
    std::string text;
    text.reserve(2 + pattern.size());
    appendHex(text, unit & 0xFFu, 2);
    for (std::size_t i = 0; i < pattern.size();) {
        bool replaced = false;
        for (auto& ph : placeholders) {
            if (!ph.done && pattern[i] == ph.name[0] && pattern.substr(i, ph.name.size()) == ph.name) {
                appendHex(text, ph.value, ph.digits);
                i += ph.name.size();
                ph.done = true;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            text.push_back(pattern[i++]);
    }
    return text;
}

std::string FieldbusProtocolModbusBase::extractReply(const GenericParameters& response)
{
    return response.bytesAsText();
}

void FieldbusProtocolModbusBase::fillRequest(const std::string& text, GenericParameters& request)
{
    request.setBytes(text);
}

std::uint32_t FieldbusProtocolModbusBase::getErrorValue(const std::string& reply)
{
    commonbase::DbgInfo(0, __FILE__, [&] { return commonbase::cat("getErrorValue() ", reply); });
    if (reply.size() < 4 || !allHex(std::string_view(reply).substr(2, 2)))
        return 0;
    return hexAt(reply, 2, 2) & 0x80u;
}

void FieldbusProtocolModbusBase::fail(std::uint32_t code, const std::string& text)
{
    setLastError(code, text);
    commonbase::DbgInfo(2, __FILE__, text);
}

FieldbusProtocolModbusBase::Exchange FieldbusProtocolModbusBase::exchange(const std::string& text,
                                                                          std::uint32_t unit,
                                                                          std::uint32_t function,
                                                                          std::size_t minimumLength,
                                                                          std::size_t exactLength)
{
    Exchange ex;
    const auto hw = getHardwareInterface();
    if (!hw) {
        fail(errorNoInterface, "Modbus: no hardware interface");
        return ex;
    }
    GenericParameters request;
    GenericParameters response;
    fillRequest(text, request);
    commonbase::DbgInfo(0, __FILE__, [&] { return commonbase::cat("sendProtocol() ", text); });
    std::int32_t result = FieldbusProtocol::sendProtocol(request, response);
    if (result != 1) {
        if (getLastErrorCode() == 0)
            fail(errorNoReply, "Modbus: no reply");
        else
            setLastError(getLastErrorCode(), hw->getLastErrorText());
        commonbase::DbgInfo(0, __FILE__, "Error");
        return ex;
    }
    ex.reply = extractReply(response);
    if (!allHex(ex.reply) || ex.reply.size() % 2 != 0) {
        fail(errorReplyNotHex, commonbase::cat("Modbus: malformed reply '", ex.reply, "'"));
        return ex;
    }
    if (ex.reply.size() < 4) {
        fail(errorReplyTooShort, commonbase::cat("Modbus: reply '", ex.reply, "' too short"));
        return ex;
    }
    const std::uint32_t replyUnit = hexAt(ex.reply, 0, 2);
    const std::uint32_t replyFunction = hexAt(ex.reply, 2, 2);
    if (replyUnit != (unit & 0xFFu) || (replyFunction & 0x7Fu) != function) {
        fail(errorWrongReply, commonbase::cat("Modbus: reply '", ex.reply, "' does not answer unit ", unit,
                                              " function 0x", hex(function, 2)));
        return ex;
    }
    ex.answered = true;
    if (getErrorValue(ex.reply) != 0) {
        ex.exception = true;
        const std::string code = ex.reply.size() >= 6 ? ex.reply.substr(4, 2) : std::string("??");
        setLastError(errorException, commonbase::cat("Modbus: exception ", code, " for function 0x",
                                                     hex(function, 2), " on unit ", unit));
        commonbase::DbgInfo(0, __FILE__, "Error");
        return ex;
    }
    if (ex.reply.size() < minimumLength) {
        fail(errorReplyTooShort, commonbase::cat("Modbus: reply '", ex.reply, "' too short, at least ",
                                                 minimumLength, " digits expected"));
        return ex;
    }
    if (exactLength != 0 && ex.reply.size() != exactLength) {
        fail(errorWrongReply, commonbase::cat("Modbus: reply '", ex.reply, "' to function 0x", hex(function, 2),
                                              " has ", ex.reply.size() / 2, " bytes, not ", exactLength / 2));
        return ex;
    }
    setLastError(0);
    ex.result = 1;
    return ex;
}

void FieldbusProtocolModbusBase::reportAccessFailure(std::uint32_t unit, bool exception)
{
    auto hw = getHardwareInterface();
    if (exception && hw && hw->getLastErrorCode() == 0) {
        // The drive answered but refused: its diagnostic register says why.
        const std::uint32_t previousCode = getLastErrorCode();
        const std::string previousText = getLastErrorString();
        std::uint32_t diagnostic = 0;
        // A register reading 0 would say "no error" about a refusal: keep the
        // exception's code then.
        if (readDiagnostics(unit, diagnostic) == 1 && diagnostic != 0)
            setLastError(diagnostic);
        else
            setLastError(previousCode, previousText);
    }
    getErrorMessage("Modbus");
}

std::int32_t FieldbusProtocolModbusBase::poke(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex)
{
    if (index <= 128)
        return 1;
    const std::uint32_t value = static_cast<std::uint32_t>(subindex) * 65536u + index;
    if (writeParameter(unit, 2, pokeIndex, pokeSubindex, value) != 1) {
        commonbase::DbgInfo(3, __FILE__, commonbase::cat("Poke ", value, " failed"));
        return 0;
    }
    return 1;
}

bool FieldbusProtocolModbusBase::addressOf(std::uint16_t index, std::uint16_t subindex, std::uint32_t& address)
{
    if (registerAddress(index, subindex, address))
        return true;
    fail(errorAddressRange,
         commonbase::cat("Modbus: parameter ", index, ".", subindex, " has no 16-bit register address"));
    return false;
}

std::int32_t FieldbusProtocolModbusBase::readDataChecked(std::uint32_t unit, std::uint16_t index,
                                                         std::uint16_t subindex, std::string& buffer,
                                                         std::uint32_t size, bool& exception)
{
    commonbase::Dbg dbg(0, __FILE__,
                        [&] { return commonbase::cat("readData(", unit, ",", index, ",", subindex, ",", size, ")"); });
    exception = false;
    buffer.clear();
    std::uint32_t address = 0;
    if (!addressOf(index, subindex, address))
        return 0;
    if (size == 0 || size % 4 != 0 || size / 4 > 125) {
        fail(errorBadData, commonbase::cat("Modbus: cannot read ", size, " digits"));
        return 0;
    }
    Exchange ex = exchange(createHeader(templateRead, unit, address, size / 4, 0, 0), unit, functionRead, 6 + size);
    // Exactly the registers asked for: a longer reply is not this request's.
    if (ex.result == 1 && (ex.reply.size() != 6 + size || hexAt(ex.reply, 4, 2) != size / 2)) {
        fail(errorWrongReply, commonbase::cat("Modbus: read reply '", ex.reply, "' does not carry the ", size / 2,
                                              " bytes asked for"));
        ex.result = 0;
    }
    if (ex.result != 1) {
        exception = ex.exception;
        commonbase::DbgInfo(0, __FILE__, "Error");
        return 0;
    }
    buffer = ex.reply.substr(6, size);
    return 1;
}

std::int32_t FieldbusProtocolModbusBase::readData(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex,
                                                  std::string& buffer, std::uint32_t size)
{
    bool exception = false;
    std::int32_t result = readDataChecked(unit, index, subindex, buffer, size, exception);
    if (result != 1)
        reportAccessFailure(unit, exception);
    return result;
}

std::int32_t FieldbusProtocolModbusBase::readParameter(std::uint32_t unit, std::uint32_t size, std::uint16_t index,
                                                       std::uint16_t subindex, std::uint32_t& value)
{
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return commonbase::cat("readParameter(", unit, ",", size, ",", index, ",", subindex, ")");
    });
    auto lock = lockOperation();
    setLastError(0);
    std::uint32_t address = 0;
    if (!addressOf(index, subindex, address))
        return 0;
    if (poke(unit, index, subindex) != 1)
        return 0;
    std::string digits;
    bool exception = false;
    if (readDataChecked(unit, index, subindex, digits, 8, exception) != 1) {
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("readParameter(", unit, ",", index, ",", subindex, ") = ?"));
        reportAccessFailure(unit, exception);
        return 0;
    }
    value = (hexAt(digits, 0, 4) << 16) | hexAt(digits, 4, 4);
    return 1;
}

std::int32_t FieldbusProtocolModbusBase::writeRegisters(std::uint32_t unit, std::uint32_t address,
                                                        const std::string& dataDigits, std::uint32_t registers,
                                                        bool& exception)
{
    Exchange ex = exchange(createHeader(templateWrite, unit, address, registers, 0, 0) + dataDigits, unit,
                           functionWrite, 12, 12);
    exception = ex.exception;
    return ex.result;
}

std::int32_t FieldbusProtocolModbusBase::writeParameter(std::uint32_t unit, std::uint32_t size, std::uint16_t index,
                                                        std::uint16_t subindex, std::uint32_t value)
{
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return commonbase::cat("writeParameter(", unit, ",", size, ",", index, ",", subindex, ") = ", value);
    });
    auto lock = lockOperation();
    setLastError(0);
    std::uint32_t address = 0;
    if (!addressOf(index, subindex, address))
        return 0;
    if (poke(unit, index, subindex) != 1)
        return 0;
    bool exception = false;
    if (writeRegisters(unit, address, hex(value, 8), 2, exception) != 1) {
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("writeParameter(", unit, ",", size, ",", index, ",",
                                                         subindex, ") = ?"));
        reportAccessFailure(unit, exception);
        return 0;
    }
    return 1;
}

std::int32_t FieldbusProtocolModbusBase::sendData(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex,
                                                  const std::vector<std::uint8_t>& buffer, std::uint32_t size)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("sendData(", unit, ",", index, ",", subindex, ",", size, ")"));
    auto lock = lockOperation();
    setLastError(0);
    std::uint32_t address = 0;
    if (!addressOf(index, subindex, address))
        return 0;
    if (size == 0 || size > maxBlockSize || size > buffer.size()) {
        fail(errorBadData, commonbase::cat("Modbus: cannot send ", size, " bytes from a buffer of ", buffer.size()));
        return 0;
    }
    std::string digits;
    for (std::uint32_t i = 0; i < size; ++i)
        digits += hex(buffer[i], 2);
    // Registers are whole words: an odd count is padded with a zero byte.
    if (size % 2 != 0)
        digits += "00";
    bool exception = false;
    if (writeRegisters(unit, address, digits, (size + 1) / 2, exception) != 1) {
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("sendData(", unit, ",", index, ",", subindex, ",", size,
                                                         ") failed"));
        reportAccessFailure(unit, exception);
        return 0;
    }
    return 1;
}

std::int32_t FieldbusProtocolModbusBase::readDiagnostics(std::uint32_t unit, std::uint32_t& value)
{
    Exchange ex =
        exchange(createHeader(templateDiagnostics, unit, 0x0002, 0, 0, 0), unit, functionDiagnostics, 12, 12);
    if (ex.result != 1) {
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("readDiagnostics(", unit, ") failed"));
        return 0;
    }
    value = hexAt(ex.reply, 8, 4);
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("readDiagnostics(", unit, ") = 0x", hex(value, 4)));
    return 1;
}

std::int32_t FieldbusProtocolModbusBase::ping(std::uint32_t unit, std::uint32_t baud)
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("ping(", unit, ",", baud, ")"));
    auto hw = getHardwareInterface();
    if (!hw) {
        fail(errorNoInterface, "Modbus: no hardware interface");
        return 0;
    }
    const std::string request = createHeader(templatePing, unit, 0, 0, 0, 0);
    hw->setBaudrate(baud);
    if (openInterface(unit) != 1)
        return 0;
    Exchange ex = exchange(request, unit, functionRead, 4);
    closeInterface();
    return ex.result == 1 ? 1 : 0;
}

std::int32_t FieldbusProtocolModbusBase::readIdentification(std::uint32_t unit, std::string& vendorName,
                                                            std::string& productCode, std::string& version,
                                                            std::string& motorType, std::string& serialNumber)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("readIdentification(", unit, ")"));
    auto lock = lockOperation();
    Exchange ex = exchange(createHeader(templateIdentification, unit, 0, 0, 0, 0), unit, functionIdentification, 16);
    bool ok = ex.result == 1;
    if (ok) {
        std::vector<std::uint8_t> bytes;
        asciiToBin(bytes, ex.reply);
        const std::size_t count = bytes[7];
        std::size_t pos = 8;
        for (std::size_t n = 0; n < count && ok; ++n) {
            if (pos + 2 > bytes.size() || pos + 2 + bytes[pos + 1] > bytes.size()) {
                fail(errorReplyTooShort,
                     commonbase::cat("Modbus: identification reply '", ex.reply, "' ends inside object ", n));
                ok = false;
                break;
            }
            const std::uint8_t id = bytes[pos];
            const std::size_t length = bytes[pos + 1];
            const std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length));
            switch (id) {
            case 0: vendorName = text; break;
            case 1: productCode = text; break;
            case 2: version = text; break;
            default: commonbase::DbgInfo(2, __FILE__, "Unkown Modbus object type"); break;
            }
            pos += 2 + length;
        }
    }
    if (ok)
        commonbase::DbgInfo(1, __FILE__, commonbase::cat("#", unit, ": identification ", vendorName, ", ",
                                                         productCode, ", ", version));
    else
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("#", unit, ": identification  error ",
                                                         getLastErrorString()));
    // Drives without the identification request still have motor type and
    // serial number: those reads decide.
    return FieldbusProtocol::readIdentification(unit, vendorName, productCode, version, motorType, serialNumber);
}

std::int32_t FieldbusProtocolModbusBase::initUpload(std::uint32_t unit)
{
    // The status byte is judged by getUpload; here only the exchange counts.
    Exchange ex = exchange(createHeader(templateInitUpload, unit, 0, 0, 0, 0), unit, functionUpload, 10);
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("#", unit, ": initUpload \t", ex.reply));
    if (ex.result == 1)
        return 1;
    commonbase::DbgInfo(2, __FILE__, commonbase::cat("InitUpload failed: '", getLastErrorString(), "'"));
    return 0;
}

std::int32_t FieldbusProtocolModbusBase::getUpload(std::uint32_t unit, std::uint32_t sessionId,
                                                   std::uint32_t packetNumber, std::string& data,
                                                   std::uint32_t& finished)
{
    data.clear();
    finished = 0;
    Exchange ex = exchange(createHeader(templateGetUpload, unit, 0, 0, sessionId, packetNumber), unit,
                           functionUpload, 10);
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("#", unit, ": getUpload \t", ex.reply));
    if (ex.result != 1) {
        commonbase::DbgInfo(3, __FILE__, commonbase::cat("GetUpload failed: '", getLastErrorString(), "'"));
        return asResult(errorUploadExchange);
    }
    if (hexAt(ex.reply, 8, 2) != statusAccepted) {
        finishUpload(unit, sessionId);
        setLastError(errorUploadRefused, commonbase::cat("Modbus: upload block refused: '", ex.reply, "'"));
        return asResult(errorUploadRefused);
    }
    if (ex.reply.size() < 18) {
        fail(errorReplyTooShort, commonbase::cat("Modbus: upload reply '", ex.reply, "' too short"));
        commonbase::DbgInfo(3, __FILE__, commonbase::cat("GetUpload failed: '", getLastErrorString(), "'"));
        return asResult(errorUploadExchange);
    }
    const std::uint32_t length = hexAt(ex.reply, 14, 4);
    if (ex.reply.size() < 18 + 2 * static_cast<std::size_t>(length)) {
        fail(errorReplyTooShort,
             commonbase::cat("Modbus: upload reply '", ex.reply, "' shorter than its ", length, " data bytes"));
        commonbase::DbgInfo(3, __FILE__, commonbase::cat("GetUpload failed: '", getLastErrorString(), "'"));
        return asResult(errorUploadExchange);
    }
    data = ex.reply.substr(18, 2 * static_cast<std::size_t>(length));
    if (hexAt(ex.reply, 10, 4) != 0) {
        finished = 1;
        finishUpload(unit, sessionId);
    }
    return 0;
}

std::int32_t FieldbusProtocolModbusBase::finishUpload(std::uint32_t unit, std::uint32_t sessionId)
{
    Exchange ex = exchange(createHeader(templateFinishUpload, unit, 0, 0, sessionId, 0), unit, functionUpload, 4);
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("#", unit, ": finish Upload \t", ex.reply));
    if (ex.result != 1)
        commonbase::DbgInfo(2, __FILE__, commonbase::cat("finishUpload failed: '", getLastErrorString(), "'"));
    return ex.result;
}

} // namespace Kavrel
