#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace kavreltest {

// A kavrel-canbus process on 127.0.0.1 with a port of its own choosing,
// stopped on destruction. Every CAN test shares it.
class CanBusProcess {
public:
    // buses: "NAME=RATE" entries; extra: further options such as "--pace".
    explicit CanBusProcess(std::vector<std::string> buses = {"can0=125000"}, std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv{binDir() + "/kavrel-canbus", "--listen", "127.0.0.1:0"};
        for (const auto& b : buses)
            argv.insert(argv.end(), {"--bus", b});
        argv.insert(argv.end(), extra.begin(), extra.end());
        process = std::make_unique<ChildProcess>(argv);
        const std::string first = process->readLine(std::chrono::seconds(10));
        const std::string prefix = "canbus 127.0.0.1:";
        if (first.rfind(prefix, 0) == 0 && process->readLine(std::chrono::seconds(10)) == "ready")
            port_ = std::stoi(first.substr(prefix.size()));
    }
    ~CanBusProcess() { stop(); }
    CanBusProcess(const CanBusProcess&) = delete;
    CanBusProcess& operator=(const CanBusProcess&) = delete;

    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    // "127.0.0.1:PORT/BUS", the form KAVREL_CAN and --can take.
    std::string endpoint(const std::string& bus = "can0") const
    {
        return "127.0.0.1:" + std::to_string(port_) + "/" + bus;
    }
    // Ends the server (its clients see the connection close).
    void stop() { process->stop(); }

private:
    std::unique_ptr<ChildProcess> process;
    int port_ = 0;
};

} // namespace kavreltest
