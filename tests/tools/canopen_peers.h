#pragma once
// The python-can CANopen drive: a peer independent of our own code.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/CanBusFixture.h"
#include "support/TestSupport.h"

namespace cantest {

using CanBus = kavreltest::CanBusProcess;

// A QTA drive written on python-can's socketcand client, stopped with its owner.
class PythonDrive {
public:
    PythonDrive(int port, const std::string& bus, int node)
        : drive(std::vector<std::string>{"/usr/bin/python3",
                                         kavreltest::sourceDir() + "/tests/support/canopen_python_drive.py",
                                         "127.0.0.1", std::to_string(port), bus, std::to_string(node)})
    {
        ready = drive.readLine(std::chrono::seconds(20)) == "ready";
    }
    bool ok() const { return ready; }
    void stop() { drive.stop(); }

private:
    kavreltest::ChildProcess drive;
    bool ready = false;
};

} // namespace cantest
