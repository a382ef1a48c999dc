#include "support/CanBusFixture.h"

namespace kavreltest {

CanBusProcess::CanBusProcess(std::vector<std::string> buses, std::vector<std::string> extra)
{
    std::vector<std::string> argv{binDir() + "/kavrel-canbus", "--listen", "127.0.0.1:0"};
    for (const auto& b : buses) {
        argv.push_back("--bus");
        argv.push_back(b);
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<ChildProcess>(argv);
    const std::string first = process->readLine(std::chrono::seconds(10));
    const std::string prefix = "canbus 127.0.0.1:";
    if (first.rfind(prefix, 0) != 0 || process->readLine(std::chrono::seconds(10)) != "ready")
        return;
    port_ = std::stoi(first.substr(prefix.size()));
}

CanBusProcess::~CanBusProcess()
{
    stop();
}

std::string CanBusProcess::endpoint(const std::string& bus) const
{
    return "127.0.0.1:" + std::to_string(port_) + "/" + bus;
}

void CanBusProcess::stop()
{
    if (process)
        process->stop();
}

} // namespace kavreltest
