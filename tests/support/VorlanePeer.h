#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace kavreltest {

// Vorlane drives on the far end of a pseudo-terminal, played by a thread:
// "#NN\r" selects drive NN (which echoes it, or stays silent when absent);
// "02SSIIII00000000\r" is answered "02SSIIII" + value + "\r"; "09SSIIIIVVVVVVVV\r"
// stores the value and is echoed. Every telegram received is recorded.
class VorlanePeer {
public:
    enum class Fault {
        none,
        silent,       // parameter telegrams get no answer
        shortReply,   // a read answer of 15 characters
        notHex,       // a read answer with non-hex value characters
        noEnd,        // answers without the carriage return
    };

    explicit VorlanePeer(const std::string& path);
    ~VorlanePeer();
    VorlanePeer(const VorlanePeer&) = delete;
    VorlanePeer& operator=(const VorlanePeer&) = delete;
    bool ok() const { return port.ok(); }

    void addDrive(std::uint32_t address);
    void setParameter(std::uint32_t address, std::uint16_t index, std::uint16_t subindex, std::uint32_t value);
    std::uint32_t parameter(std::uint32_t address, std::uint16_t index, std::uint16_t subindex);
    void setFault(Fault fault);
    std::vector<std::string> telegrams();
    void clearTelegrams();

private:
    std::string answer(const std::string& telegram);

    RawPort port;
    std::mutex m;
    std::map<std::uint32_t, std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint32_t>> drives;
    std::vector<std::string> seen;
    std::uint32_t current = 0;
    Fault fault = Fault::none;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace kavreltest
