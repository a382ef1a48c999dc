#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include "hardware/GenericParameters.h"

namespace commonbase {
class XmlDom;
}

namespace Kavrel {

class HardwareInterface;

// Base of the bus protocols: turns parameter access, identification, ping and
// upload into telegrams, and keeps the last error of the bus. Operations return
// 1 for success; the reason of a failure is in the last error code and text.
class FieldbusProtocol {
public:
    struct Constants {
        std::string defaultBaudrate;
        std::vector<std::string> baudrates;
        std::uint32_t scanMinimum = 0, scanMaximum = 0;
        std::uint32_t flashMinimum = 0, flashMaximum = 0;
        std::uint32_t defaultDeviceAddress = 0;
        // Serial character formats ("E,8,1", ...); empty for non-serial buses.
        std::vector<std::string> frameFormats;
        std::string defaultFrameFormat;
    };

    FieldbusProtocol(std::string protocolName, Constants constants,
                     std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);
    virtual ~FieldbusProtocol();
    FieldbusProtocol(const FieldbusProtocol&) = delete;
    FieldbusProtocol& operator=(const FieldbusProtocol&) = delete;

    virtual std::int32_t readIdentification(std::uint32_t address, std::string& vendorName, std::string& productCode,
                                            std::string& version, std::string& motorType, std::string& serialNumber);
    virtual std::int32_t readParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                                       std::uint16_t subindex, std::uint32_t& value) = 0;
    virtual std::int32_t writeParameter(std::uint32_t address, std::uint32_t size, std::uint16_t index,
                                        std::uint16_t subindex, std::uint32_t value) = 0;
    virtual std::int32_t initUpload(std::uint32_t address) = 0;
    // Result 0 on success, negative (0x8004xxxx) on failure; finished = 1 for the last packet.
    virtual std::int32_t getUpload(std::uint32_t address, std::uint32_t sessionId, std::uint32_t packetNumber,
                                   std::string& data, std::uint32_t& finished) = 0;
    virtual std::int32_t finishUpload(std::uint32_t address, std::uint32_t sessionId) = 0;
    virtual std::int32_t openInterface(std::uint32_t address);
    virtual std::int32_t setBaudrate(std::uint32_t baud);
    virtual std::int32_t closeInterface();
    // Position in the baud-rate list of the first rate that answers a ping; 0 if none.
    virtual std::int32_t detectBaudrate(std::uint32_t address);
    virtual std::int32_t readData(std::uint32_t address, std::uint16_t index, std::uint16_t subindex,
                                  std::string& buffer, std::uint32_t size);
    virtual std::int32_t sendData(std::uint32_t address, std::uint16_t index, std::uint16_t subindex,
                                  const std::vector<std::uint8_t>& buffer, std::uint32_t size);
    virtual std::uint32_t getMaxBlockSize() = 0;
    virtual std::int32_t sendProtocol(GenericParameters& request, GenericParameters& response);
    virtual void getErrorMessage(const std::string& protocolName);
    virtual std::int32_t ping(std::uint32_t address, std::uint32_t baud);

    // The per-protocol constants (baud rates, bounds, default address) by name;
    // all empty for an unknown name.
    static Constants constantsFor(const std::string& protocolName);
    static std::vector<std::string> getKnownProtocols();
    // Where the protocol error texts ("Protocol_Err.xml") come from. The
    // communication manager, which loads that file, installs the source.
    using ErrorDocumentSource = std::function<std::shared_ptr<commonbase::XmlDom>()>;
    static void setErrorDocumentSource(ErrorDocumentSource source);
    static std::vector<std::string> getNetworkscanProtocols();
    // The protocol for a name of the known list, or none.
    static std::shared_ptr<FieldbusProtocol> create(const std::string& protocolName, bool networkScan = false,
                                                    std::shared_ptr<HardwareInterface> hardwareInterface = nullptr);

    // Range texts: comma-separated decimal ids and closed intervals a-b.
    static std::set<std::uint32_t> splitRange(const std::string& text, std::uint32_t minimum, std::uint32_t maximum);
    std::int32_t setScanRange(const std::string& text);
    std::int32_t setFlashRange(const std::string& text);
    bool checkScanRange(const std::string& text) const;
    std::string getScanRange() const;
    std::set<std::uint32_t> getScanRangeIds() const;
    std::set<std::uint32_t> getFlashRangeIds() const;

    // Hex digit pairs to bytes; false (bytes emptied) when a pair is not hex.
    static bool asciiToBin(std::vector<std::uint8_t>& bytes, const std::string& text);
    static std::string binToAscii(const std::vector<std::uint8_t>& bytes);

    std::uint32_t getLastErrorCode() const;
    std::string getLastErrorString() const;
    void setLastError(std::uint32_t code, std::string text = {});

    const std::string& getProtocolName() const { return protocolName; }
    const std::string& getDefaultBaudrate() const { return constants.defaultBaudrate; }
    const std::vector<std::string>& getBaudrates() const { return constants.baudrates; }
    const std::vector<std::string>& getFrameFormats() const { return constants.frameFormats; }
    const std::string& getDefaultFrameFormat() const { return constants.defaultFrameFormat; }
    std::uint32_t getDefaultDeviceAddress() const { return constants.defaultDeviceAddress; }
    std::uint32_t getScanMinimum() const { return constants.scanMinimum; }
    std::uint32_t getScanMaximum() const { return constants.scanMaximum; }
    std::uint32_t getFlashMinimum() const { return constants.flashMinimum; }
    std::uint32_t getFlashMaximum() const { return constants.flashMaximum; }

    // What the bus can address: the scan and flash bounds together. Anything
    // else is refused before a telegram goes out (a unit byte would wrap).
    bool isAddressable(std::uint32_t address) const;
    // "1-248": the addressable ids as a range text.
    std::string addressBoundsText() const;
    // "id 40 is outside 1-31 for VorlaneRS485"
    std::string outOfBoundsText(std::uint32_t address) const;
    // Why a scan (or flash) range text was refused, naming the bounds.
    std::string rangeRefusalText(const std::string& text, bool flash = false) const;

    void setHardwareInterface(std::shared_ptr<HardwareInterface> hw);
    std::shared_ptr<HardwareInterface> getHardwareInterface() const;

    void logIdentification(std::uint32_t address, const std::string& originalVendorName,
                           const std::string& vendorName, const std::string& originalProductCode,
                           const std::string& productCode, const std::string& version,
                           const std::string& motorType, const std::string& serialNumber) const;

    // Texts of errcodes.ini beside the module (read once per process).
    static std::string errcodesText(std::uint16_t code);
    // For tests: reads errcodes.ini-style lines from a file into a map.
    static std::map<std::uint16_t, std::string> readErrorTextFile(const std::string& path);

protected:
    std::int32_t readStringParameter(std::uint32_t address, std::uint16_t index, std::uint16_t firstSubindex,
                                     std::uint32_t length, std::string& text);
    // Held across the steps of one protocol operation that must not interleave
    // with another device's (the Vorlane addressing telegram and its request).
    // It takes the bus mutex of the hardware interface first, as a device
    // does before it calls in here, so the two are always taken in one order.
    class OperationGuard {
    public:
        OperationGuard(std::shared_ptr<std::recursive_mutex> busMutex, std::recursive_mutex& operationMutex);

    private:
        std::shared_ptr<std::recursive_mutex> busMutex; // outlives the lock on it
        std::unique_lock<std::recursive_mutex> bus;
        std::unique_lock<std::recursive_mutex> operation;
    };
    OperationGuard lockOperation();

    std::string protocolName;
    Constants constants;

private:
    static void readErrorTexts();
    mutable std::mutex stateMutex;
    std::uint32_t lastErrorCode = 0;
    std::string lastErrorText;
    std::set<std::uint32_t> scanRangeIds;
    std::string scanRangeText;
    std::set<std::uint32_t> flashRangeIds;
    std::string flashRangeText;
    std::shared_ptr<HardwareInterface> hardwareInterface;
    std::recursive_mutex operationMutex;
};

} // namespace Kavrel
