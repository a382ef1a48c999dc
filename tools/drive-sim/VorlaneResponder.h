#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include "Drive.h"

namespace drivesim {

// The drive side of the Vorlane line: "#NN" selects a drive, then the
// read ("02") and write ("09") telegrams go to the drive selected last.
class VorlaneResponder {
public:
    explicit VorlaneResponder(std::map<std::uint32_t, std::unique_ptr<Drive>>& drives) : drives(drives) {}

    struct Outcome {
        Drive* drive = nullptr; // the drive that answers; none: the line stays silent
        std::string reply;      // without the terminating CR
    };
    // One telegram without its CR. wrongAddress makes the addressing echo name another drive.
    Outcome handle(const std::string& line, bool wrongAddress);
    std::uint32_t selected() const { return current; }

private:
    std::map<std::uint32_t, std::unique_ptr<Drive>>& drives;
    std::uint32_t current = 0;
};

} // namespace drivesim
