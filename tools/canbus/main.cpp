// kavrel-canbus: a CAN bus on TCP for tests, the demo and the simulator,
// speaking the rawmode subset of the socketcand protocol.
#include <CLI/CLI.hpp>
#include <iostream>

#include "../StopSignals.h"
#include "CanBusServer.h"

namespace {

int fail(const std::string& text, int code)
{
    std::cerr << "kavrel-canbus: " << text << std::endl;
    return code;
}

// "125000", "125k" or "1M" bit/s.
bool parseRate(std::string text, std::uint32_t& rate)
{
    std::uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
        scale = 1000;
        text.pop_back();
    } else if (!text.empty() && text.back() == 'M') {
        scale = 1000000;
        text.pop_back();
    }
    std::uint64_t value = 0;
    if (!canbus::parseDecimal(text, value) || value == 0 || value * scale > 1000000)
        return false;
    rate = static_cast<std::uint32_t>(value * scale);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"kavrel-canbus: CAN buses shared over TCP (socketcand rawmode)"};
    std::string listen = "127.0.0.1:0";
    std::vector<std::string> buses;
    canbusd::Options options;
    app.add_option("--listen", listen, "ADDR:PORT to listen on (PORT 0 picks a free one)")->capture_default_str();
    app.add_option("--bus", buses, "NAME=RATE: a bus and its default bit rate (repeatable; default can0=125000)");
    app.add_flag("--pace", options.pace, "Deliver each frame only after its time on the wire at the bus's bit rate");
    app.add_flag("-v,--verbose", options.verbose, "Log clients and dropped frames to standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    const auto colon = listen.rfind(':');
    std::uint64_t port = 0;
    if (colon == std::string::npos || !canbus::parseDecimal(listen.substr(colon + 1), port) || port > 65535)
        return fail("--listen: '" + listen + "' is not ADDR:PORT", 2);
    options.host = listen.substr(0, colon);
    options.port = static_cast<int>(port);
    if (buses.empty())
        buses.push_back("can0=125000");
    for (const auto& b : buses) {
        const auto eq = b.find('=');
        std::uint32_t rate = 0;
        if (eq == std::string::npos || eq == 0 || !parseRate(b.substr(eq + 1), rate) ||
            b.find_first_of(" <>/") != std::string::npos)
            return fail("--bus: '" + b + "' is not NAME=RATE with a rate of 1..1000000 bit/s", 2);
        options.buses[b.substr(0, eq)] = rate;
    }

    canbusd::CanBusServer server(options);
    int bound = 0;
    std::string error;
    if (!server.listen(bound, error))
        return fail(error, 1);
    const int stopFd = kavreltools::stopOnSignals();
    if (stopFd < 0)
        return fail("cannot make the signal pipe", 1);
    std::cout << "canbus " << options.host << ":" << bound << std::endl;
    std::cout << "ready" << std::endl;
    server.run(stopFd);
    return 0;
}
