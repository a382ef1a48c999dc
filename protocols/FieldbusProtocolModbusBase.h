#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

// Drive parameters over Modbus: each parameter index.subindex lies on two
// holding registers at (index * 128 + subindex) * 2, high word first.
// Requests are built as upper-case hex text (unit, function code, data); the
// link subclasses decide how that text travels and how the reply comes back.
//
// Every reply must come from the unit that was asked and carry the function
// code of the request (or its exception form); anything else is a failed
// exchange with errorWrongReply, as is a reply whose size does not fit the
// request (a read reply must carry exactly the registers asked for). A reply
// too short for a fixed field fails with errorReplyTooShort. The codes of this
// family are registered with the error texts, so a failure always has a text.
class FieldbusProtocolModbusBase : public FieldbusProtocol {
public:
    // Last error codes of this protocol family (0x6xx block).
    static constexpr std::uint32_t errorReplyNotHex = 0x80040601;
    static constexpr std::uint32_t errorReplyTooShort = 0x80040602;
    static constexpr std::uint32_t errorUploadRefused = 0x80040603;
    static constexpr std::uint32_t errorUploadExchange = 0x80040604;
    static constexpr std::uint32_t errorWrongReply = 0x80040605;
    static constexpr std::uint32_t errorAddressRange = 0x80040606;
    static constexpr std::uint32_t errorNoInterface = 0x80040607;
    static constexpr std::uint32_t errorException = 0x80040608;
    static constexpr std::uint32_t errorBadData = 0x80040609;
    static constexpr std::uint32_t errorNoReply = 0x8004060A;

    static constexpr std::uint32_t maxBlockSize = 246;

    FieldbusProtocolModbusBase(std::string protocolName, Constants constants,
                               std::shared_ptr<HardwareInterface> hardwareInterface);
    ~FieldbusProtocolModbusBase() override;

    std::int32_t readIdentification(std::uint32_t unit, std::string& vendorName, std::string& productCode,
                                    std::string& version, std::string& motorType,
                                    std::string& serialNumber) override;
    std::int32_t readParameter(std::uint32_t unit, std::uint32_t size, std::uint16_t index,
                               std::uint16_t subindex, std::uint32_t& value) override;
    std::int32_t writeParameter(std::uint32_t unit, std::uint32_t size, std::uint16_t index,
                                std::uint16_t subindex, std::uint32_t value) override;
    std::int32_t initUpload(std::uint32_t unit) override;
    std::int32_t getUpload(std::uint32_t unit, std::uint32_t sessionId, std::uint32_t packetNumber,
                           std::string& data, std::uint32_t& finished) override;
    std::int32_t finishUpload(std::uint32_t unit, std::uint32_t sessionId) override;
    std::int32_t readData(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex, std::string& buffer,
                          std::uint32_t size) override;
    std::int32_t sendData(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex,
                          const std::vector<std::uint8_t>& buffer, std::uint32_t size) override;
    std::uint32_t getMaxBlockSize() override { return maxBlockSize; }
    std::int32_t ping(std::uint32_t unit, std::uint32_t baud) override;

    // Request text: unit as two digits, then the template with AAAA, LLLL, BB
    // (= 2 x l), SSSS and PPPP replaced by upper-case hex digits.
    virtual std::string createHeader(const std::string& requestTemplate, std::uint32_t unit, std::uint32_t a,
                                     std::uint32_t l, std::uint32_t s, std::uint32_t p);
    // The reply as hex text, unit first.
    virtual std::string extractReply(const GenericParameters& response);

    std::int32_t readDiagnostics(std::uint32_t unit, std::uint32_t& value);
    // 0x80 when the reply's function code is an exception, otherwise 0.
    std::uint32_t getErrorValue(const std::string& reply);

    // Register address of a parameter; false when it does not fit 16 bits.
    static bool registerAddress(std::uint16_t index, std::uint16_t subindex, std::uint32_t& address);

    static const char* const templateRead;
    static const char* const templateWrite;
    static const char* const templateDiagnostics;
    static const char* const templatePing;
    static const char* const templateIdentification;
    static const char* const templateInitUpload;
    static const char* const templateGetUpload;
    static const char* const templateFinishUpload;

protected:
    // How the request text goes into the transfer's request.
    virtual void fillRequest(const std::string& text, GenericParameters& request);

    // Outcome of one request/reply.
    struct Exchange {
        std::int32_t result = 0;  // 1 = valid, non-exception reply
        bool answered = false;    // a reply came back (possibly an exception)
        bool exception = false;   // the drive refused (function code | 0x80)
        std::string reply;        // hex text, unit first
    };
    // Sends the request and checks the reply's unit, function code and hex form;
    // minimumLength is the shortest acceptable reply text, exactLength (when
    // not 0) the only acceptable length of a non-exception reply.
    Exchange exchange(const std::string& text, std::uint32_t unit, std::uint32_t function,
                      std::size_t minimumLength, std::size_t exactLength = 0);

private:
    // registerAddress, failing with the address-range error when there is none.
    bool addressOf(std::uint16_t index, std::uint16_t subindex, std::uint32_t& address);
    std::int32_t readDataChecked(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex,
                                 std::string& buffer, std::uint32_t size, bool& exception);
    std::int32_t writeRegisters(std::uint32_t unit, std::uint32_t address, const std::string& dataDigits,
                                std::uint32_t registers, bool& exception);
    // Writes 22.10 ahead of an access to an index above 128.
    std::int32_t poke(std::uint32_t unit, std::uint16_t index, std::uint16_t subindex);
    // After a failed access: the diagnostic register becomes the last error
    // code when the drive refused; then the text of the code from the error
    // files (empty when neither has one).
    void reportAccessFailure(std::uint32_t unit, bool exception);
    void fail(std::uint32_t code, const std::string& text);
};

} // namespace Kavrel
