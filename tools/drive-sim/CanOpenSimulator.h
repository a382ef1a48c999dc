#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CanBusClient.h"
#include "CanOpenDrive.h"
#include "FaultPlan.h"

namespace drivesim {

// CANopen drives on a socketcand bus: one connection per bit rate in use,
// one poll loop over them and the control input. Only SDO requests are
// answered; no boot-up, heartbeat or emergency frames are ever sent (a host
// would take them for replies).
class CanOpenSimulator {
public:
    CanOpenSimulator(canbus::Endpoint endpoint, CanOpenFamily family, const std::vector<std::uint32_t>& ids,
                     std::uint32_t bitrate, FaultPlan faults, bool verbose);
    ~CanOpenSimulator();
    CanOpenSimulator(const CanOpenSimulator&) = delete;
    CanOpenSimulator& operator=(const CanOpenSimulator&) = delete;

    // Connects at the drives' bit rate; false with a reason.
    bool connect(std::string& error);
    bool openControl(const std::string& path, std::string& error);
    // Every access to parameter I.S (mapped as the protocol maps it) aborts.
    void failOn(std::uint16_t index, std::uint16_t subindex);
    // Serves until stopFd becomes readable; false when the bus was lost.
    bool run(int stopFd);

private:
    bool connectionFor(std::uint32_t rate, std::string& error);
    void dropUnusedConnections();
    void onFrame(std::uint32_t rate, const canbus::Frame& frame);
    void onControlData();
    void control(const std::string& line);
    bool pause();
    void trace(const char* dir, std::uint32_t rate, const canbus::Frame& frame) const;

    canbus::Endpoint endpoint;
    std::uint32_t defaultRate;
    FaultPlan faults;
    bool verbose;
    std::map<std::uint32_t, std::unique_ptr<CanOpenDrive>> drives;
    std::map<std::uint32_t, std::unique_ptr<canbus::Connection>> connections; // by bit rate
    int controlFd = -1;
    std::string controlBuffer;
    int stopFd = -1;
    bool stopping = false;
};

} // namespace drivesim
