#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace drivesim {

// The fault switches, and the request counter they are judged against.
// Requests are numbered from 1 across every port and drive of the process.
class FaultPlan {
public:
    std::uint64_t dropEvery = 0;
    std::uint64_t corruptEvery = 0;
    std::uint64_t shortEvery = 0;
    std::uint64_t silentAfter = 0;
    bool silentAfterSet = false;
    unsigned delayMs = 0;
    bool noCr = false;
    bool wrongAddress = false;

    // What happens to one request that a drive would answer.
    struct Verdict {
        std::uint64_t number = 0;
        bool unanswered = false; // dropped or silent: the request is lost on the way
        bool corrupt = false;
        bool cutShort = false;
    };
    Verdict next();

private:
    std::uint64_t count = 0;
};

} // namespace drivesim
