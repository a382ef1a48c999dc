#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "hardware/GenericParameters.h"

namespace Kavrel {

class HardwareInterface;
using HardwareInterfaceList = std::vector<std::shared_ptr<HardwareInterface>>;

// One physical access path to the bus. Copies share the bus mutex, so frames
// from the host thread and the workers never interleave on one path.
// Operations return 1 for success, any other value for failure.
class HardwareInterface {
public:
    HardwareInterface();
    virtual ~HardwareInterface();

    virtual std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) = 0;
    virtual std::int32_t openInterface() = 0;
    virtual std::int32_t closeInterface() = 0;
    virtual std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) = 0;
    virtual void setBaudrate(std::uint32_t rate) { baudrate = rate; }

    // Parameter hand-over from the fieldbus interface (before opening).
    void setParameters(const GenericParameters& p) { parameters = p; }
    const GenericParameters& getParameters() const { return parameters; }

    const std::string& getName() const { return name; }
    const std::string& getNameToOpen() const { return nameToOpen; }
    std::uint32_t getNumber() const { return number; }
    std::uint32_t getBaudrate() const { return baudrate; }
    std::shared_ptr<std::recursive_mutex> getMutex() const { return mutex; }

    // 0 after a successful transfer; the adapter's own code otherwise.
    // Workers and the host thread read these while another transfer runs.
    std::uint32_t getLastErrorCode() const;
    std::string getLastErrorText() const;

    // Each byte as two lowercase hex digits followed by ",".
    static std::string vecToDebug(const std::vector<std::uint8_t>& bytes);
    // The bytes up to (not including) the first 0 byte.
    static std::string bytesToText(const std::vector<std::uint8_t>& bytes);

protected:
    HardwareInterface(const HardwareInterface&) = default;
    HardwareInterface& operator=(const HardwareInterface&) = default;
    void setError(std::uint32_t code, std::string text);
    void clearError() { setError(0, {}); }

    std::string name;
    std::string nameToOpen;
    std::uint32_t number = 0;
    std::uint32_t baudrate = 0;
    std::shared_ptr<std::recursive_mutex> mutex;
    GenericParameters parameters;

private:
    // The last error with its own lock; a copy takes the values, not the lock.
    struct LastError {
        LastError() = default;
        LastError(const LastError& other);
        LastError& operator=(const LastError& other);
        mutable std::mutex lock;
        std::uint32_t code = 0;
        std::string text;
    };
    LastError lastError;
};

} // namespace Kavrel
