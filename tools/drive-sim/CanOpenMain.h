#pragma once
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FaultPlan.h"

namespace drivesim {

struct CanOpenOptions {
    std::string endpoint; // HOST:PORT/BUS
    std::string family = "qta";
    std::uint32_t bitrate = 125000;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> failOn;
};

void addCanOpenOptions(CLI::App& app, CanOpenOptions& options);
// Serves CANopen drives until SIGINT/SIGTERM; the exit status.
int runCanOpen(const CanOpenOptions& options, const std::vector<std::uint32_t>& ids, const FaultPlan& faults,
               const std::string& controlPath, bool verbose);

} // namespace drivesim
