#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterface.h"
#include "vendor-standins/vcinpl/vcinpl.h"

namespace Kavrel {

// The device list of the IXXAT library, shared by an adapter and its copies.
class HardwareInterfaceIxxatCan_Enumerator {
public:
    struct EntryPoints {
        VCINPL_RESULT (*vciEnumDeviceOpen)(VCINPL_HANDLE*) = nullptr;
        VCINPL_RESULT (*vciEnumDeviceNext)(VCINPL_HANDLE, VCINPL_DEVICEINFO*) = nullptr;
        VCINPL_RESULT (*vciEnumDeviceClose)(VCINPL_HANDLE) = nullptr;
    };
    explicit HardwareInterfaceIxxatCan_Enumerator(EntryPoints entry);
    // Reads the list anew; every entry is logged.
    std::vector<VCINPL_DEVICEINFO> enumerate();

private:
    EntryPoints entry;
};

// A CAN adapter through the IXXAT VCI library: one frame out, the next frame
// in. Adapters are numbered 100 + their position in the device list, so they
// never collide with the PEAK hardware handles 1-16 in the stored settings.
// nameToOpen is "ixxat:" and the adapter's description (its endpoint).
class HardwareInterfaceIxxatCan : public HardwareInterface {
public:
    static constexpr const char* libraryName = "vcinpl.dll";
    static constexpr std::uint32_t firstNumber = 100;
    static constexpr const char* namePrefix = "ixxat:";

    HardwareInterfaceIxxatCan();
    explicit HardwareInterfaceIxxatCan(const std::string& libraryDirectory);
    HardwareInterfaceIxxatCan(const HardwareInterfaceIxxatCan& other);
    HardwareInterfaceIxxatCan& operator=(const HardwareInterfaceIxxatCan&) = delete;
    ~HardwareInterfaceIxxatCan() override;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) override;
    std::int32_t openInterface() override;
    std::int32_t closeInterface() override;
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override;

    VCINPL_VCIID getVciId() const;
    bool isOpen() const { return channel != 0; }

private:
    struct EntryPoints;
    void resolve();
    std::string errorText(VCINPL_RESULT result) const;
    void fail(std::uint32_t code, const std::string& call, VCINPL_RESULT result);
    void release();

    std::shared_ptr<DllWrapper> library;
    std::shared_ptr<const EntryPoints> entry;
    std::shared_ptr<HardwareInterfaceIxxatCan_Enumerator> enumerator;
    VCINPL_VCIID vciId = 0;
    VCINPL_HANDLE device = 0;
    VCINPL_HANDLE control = 0;
    VCINPL_HANDLE channel = 0;
};

} // namespace Kavrel
