#pragma once
// The CAN peers of the CANopen tests: simulated drives and the python-can
// drive, each a child process that is stopped with its owner.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/CanBusFixture.h"
#include "support/TestSupport.h"

namespace cantest {

using namespace std::chrono_literals;

// Waits for a line that starts with prefix; the line, or empty.
inline std::string awaitLine(kavreltest::ChildProcess& child, const std::string& prefix, int lines = 10)
{
    for (int i = 0; i < lines; ++i) {
        std::string line = child.readLine(15s);
        if (line.empty())
            return {};
        if (line.rfind(prefix, 0) == 0)
            return line;
    }
    return {};
}

using CanBus = kavreltest::CanBusProcess;

// Simulated CANopen drives of one family on one bus.
class CanDrives {
public:
    CanDrives(const std::string& endpoint, const std::string& family, const std::string& ids,
              std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{kavreltest::binDir() + "/kavrel-drive-sim", "--canopen", endpoint,
                                      "--family", family, "--ids", ids};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<kavreltest::ChildProcess>(args);
        ready = !awaitLine(*sim, "ready").empty();
    }
    bool ok() const { return ready; }
    kavreltest::ChildProcess& process() { return *sim; }

private:
    std::unique_ptr<kavreltest::ChildProcess> sim;
    bool ready = false;
};

// The QTA drive written on python-can's socketcand client.
class PythonDrive {
public:
    PythonDrive(int port, const std::string& bus, int node)
        : drive(std::vector<std::string>{"/usr/bin/python3",
                                         kavreltest::sourceDir() + "/tests/support/canopen_python_drive.py",
                                         "127.0.0.1", std::to_string(port), bus, std::to_string(node)})
    {
        ready = drive.readLine(20s) == "ready";
    }
    bool ok() const { return ready; }
    void stop() { drive.stop(); }

private:
    kavreltest::ChildProcess drive;
    bool ready = false;
};

} // namespace cantest
