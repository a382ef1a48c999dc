#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterface.h"
#include "vendor-standins/canapi2/CanApi2.h"

namespace Kavrel {

// A CAN adapter through the PEAK CAN API library: one frame out, the next
// frame in. number holds the PEAK hardware handle (1-16); nameToOpen is
// "peak:" and the hardware's name (its endpoint).
class HardwareInterfacePeakCan : public HardwareInterface {
public:
    static constexpr const char* libraryName = "CanApi2.dll";
    static constexpr const char* netName = "Kavrel_Network";
    static constexpr const char* clientName = "Kavrel_Client";
    static constexpr const char* receiveEventName = "CAN_RECEIVE_MSG";
    static constexpr const char* namePrefix = "peak:";
    static constexpr std::uint8_t lastHardwareHandle = 16;
    static constexpr std::uint8_t lastNetHandle = 32;

    HardwareInterfacePeakCan();
    explicit HardwareInterfacePeakCan(const std::string& libraryDirectory);
    HardwareInterfacePeakCan(const HardwareInterfacePeakCan& other);
    HardwareInterfacePeakCan& operator=(const HardwareInterfacePeakCan&) = delete;
    ~HardwareInterfacePeakCan() override;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) override;
    std::int32_t openInterface() override;
    std::int32_t closeInterface() override;
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override;

    bool isOpen() const { return client != 0; }

private:
    struct EntryPoints;
    void resolve();
    void fail(std::uint32_t code, const std::string& what, CANAPI2_RESULT result);
    void release();
    // Takes one queued frame, waiting for the receive event until the deadline.
    CANAPI2_RESULT readWithin(CANAPI2_MSG& frame, std::uint32_t timeoutMs);

    std::shared_ptr<DllWrapper> library;
    std::shared_ptr<const EntryPoints> entry;
    std::uint8_t net = 0;
    std::uint8_t client = 0;
    std::uint8_t connectedNet = 0;
    int receiveEvent = -1; // eventfd standing in for the named event
};

} // namespace Kavrel
