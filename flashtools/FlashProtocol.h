#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commonbase/EventDispatcherListener.h"
#include "commonbase/UserCancelEvent.h"
#include "flashtools/SegmentData.h"

namespace Kavrel {

class FieldbusProtocol;
class FieldbusDevice;
class FlashApiData;
class FlashData;
class FlashProcess;
class FlashProtocolSettings;

// One download with a drive, step by step, through drive parameters written
// and read over the device's bus protocol. Progress goes into the flash process.
class FlashProtocol : public commonbase::EventDispatcherListener<commonbase::UserCancelEvent> {
public:
    struct ParameterAddress {
        std::uint16_t first, second, third; // first = index, third = subindex
    };
    using Bytes = std::vector<std::uint8_t>;

    static constexpr ParameterAddress commandParameter{4, 1, 13};
    static constexpr ParameterAddress dataParameter{4, 1, 14};
    static constexpr ParameterAddress requestParameter{1, 1, 26};
    static constexpr ParameterAddress testParameter{1, 1, 11};

    // Action codes as they stand (4 bytes; DeviceNet sends the last two).
    static const Bytes actionFlashRequest, actionApiAddressLength, actionApiData, actionJumpToApi,
        actionEraseSections, actionEraseStatus, actionFlashAddressLength, actionFlashData, actionFinish,
        actionSectionMask, actionTestWord;

    static constexpr std::chrono::milliseconds fixedWait{20};
    static constexpr std::chrono::milliseconds defaultEraseTimeout{60000};

    // device may be null (tests); the node address is then nodeAddress.
    FlashProtocol(FieldbusProtocol* busProtocol, FieldbusDevice* device, std::uint32_t nodeAddress = 0);
    ~FlashProtocol() override;
    FlashProtocol(const FlashProtocol&) = delete;
    FlashProtocol& operator=(const FlashProtocol&) = delete;

    // The variant for a bus protocol name, or none.
    static std::shared_ptr<FlashProtocol> create(const std::string& protocolName, FieldbusProtocol* busProtocol,
                                                 FieldbusDevice* device);

    void handleEvent(const commonbase::UserCancelEvent&) override { cancel = true; }
    // The download; true on success, false on a stop without a bus error... which
    // throws FlashException as soon as a last error id is set (always, in practice).
    virtual bool flash(const std::shared_ptr<FlashData>& flashData, const std::shared_ptr<FlashApiData>& apiData);

    // Refused (17) while the current or the new process runs a download.
    void setFlashProcess(const std::shared_ptr<FlashProcess>& process);
    std::shared_ptr<FlashProcess> getFlashProcess() const;
    void setSettings(std::shared_ptr<FlashProtocolSettings> settings_);
    std::shared_ptr<FlashProtocolSettings> getSettings() const;
    void raiseCancel() { cancel = true; }
    bool isCancelled() const { return cancel.load(); }

    std::uint32_t getLastErrorId() const { return lastErrorId; }
    std::uint32_t getLastErrorCode() const;
    std::string getLastErrorText() const;
    bool isVersion2() const { return version2; }
    std::uint32_t getNodeAddress() const { return nodeAddress; }
    std::chrono::milliseconds getEraseTimeout() const;

    // The slots below are public so the variants can be checked one by one.
    virtual bool doPrepair();
    virtual bool sendFlashRequest();
    virtual void setupProtocolVersion(const std::shared_ptr<FlashData>& flashData,
                                      const std::shared_ptr<FlashApiData>& apiData);
    virtual bool send(const ParameterAddress& address, const Bytes& bytes);
    virtual void adaptData(Bytes& bytes);
    virtual void encodeValue(std::uint32_t value, std::uint8_t* out, std::size_t count);
    // Sections erased so far (0..10); false when the poll failed.
    virtual bool readEraseProgress(std::uint32_t& count);
    virtual bool afterApiJump();
    // Called when the download has ended, whatever its outcome.
    virtual void afterDownload() {}

    bool sendInfo(const Bytes& action);
    bool sendInfoAndData(const Bytes& action, const Bytes& data);
    bool sendAddressAndLengthInfo(const Bytes& action, std::uint32_t address, std::uint32_t length);
    bool sendSegments(const SegmentList& segments, const Bytes& addressAction, const Bytes& dataAction,
                      bool chunkMode);
    bool waitForEraseSectionFinished();
    // The erase status mask: 10 minus the set bits among bits 0-9.
    static std::uint32_t erasedSections(std::uint32_t mask);

protected:
    // Records a refused bus access: the bus protocol's code and text (read
    // under the bus lock by the caller) and the error id of reason 23.
    void recordBusFailure(std::uint32_t code, const std::string& text);
    void recordFailureText(const std::string& text);
    // The bus mutex of the hardware interface, when there is one.
    std::unique_lock<std::recursive_mutex> lockBus() const;
    virtual std::size_t maxBlockSize() const;

    FieldbusProtocol* busProtocol;
    FieldbusDevice* device;
    std::uint32_t nodeAddress;
    std::atomic<bool> cancel{false};
    bool version2 = false;
    std::uint32_t lastMask = 0x3FF;

private:
    void sleep(std::chrono::milliseconds wait);
    bool step(const char* name, bool ok);

    mutable std::mutex mutex; // process, settings and the last error
    std::shared_ptr<FlashProcess> process;
    std::shared_ptr<FlashProtocolSettings> settings;
    std::uint32_t lastErrorId = 0x80004005u;
    std::uint32_t lastErrorCode = 0;
    std::string lastErrorText;
};

// Over Modbus: the erase status is read as 8 hex digits.
class FlashProtocolModbus : public FlashProtocol {
public:
    using FlashProtocol::FlashProtocol;
    bool readEraseProgress(std::uint32_t& count) override;
};

// Modbus RTU: after the jump the line runs at the settings' flash baud rate
// until the download ends.
class FlashProtocolModbusRtu : public FlashProtocolModbus {
public:
    using FlashProtocolModbus::FlashProtocolModbus;
    bool afterApiJump() override;
    void afterDownload() override;

private:
    std::uint32_t restoreRate = 0;
};

class FlashProtocolModbusTCP : public FlashProtocolModbus {
public:
    using FlashProtocolModbus::FlashProtocolModbus;
};

} // namespace Kavrel
