// The --canopen mode of kavrel-drive-sim.
#include "CanOpenMain.h"

#include <iostream>

#include "../StopSignals.h"
#include "CanOpenSimulator.h"

namespace drivesim {

namespace {

int fail(const std::string& text, int code)
{
    std::cerr << "kavrel-drive-sim: " << text << std::endl;
    return code;
}

} // namespace

void addCanOpenOptions(CLI::App& app, CanOpenOptions& o)
{
    app.add_option("--canopen", o.endpoint, "Serve CANopen drives on a socketcand bus HOST:PORT/BUS");
    app.add_option("--family", o.family, "CANopen drive family: qta or kvx")->capture_default_str();
    app.add_option("--can-bitrate", o.bitrate, "Bit rate of the CANopen drives in bit/s")->capture_default_str();
}

int runCanOpen(const CanOpenOptions& o, const std::vector<std::uint32_t>& ids, const FaultPlan& faults,
               const std::string& controlPath, bool verbose)
{
    std::string error;
    auto endpoint = canbus::Endpoint::parse(o.endpoint, &error);
    if (!endpoint || endpoint->fixedRate != 0)
        return fail("--canopen: " + (endpoint ? "'" + o.endpoint + "': give the rate with --can-bitrate" : error), 2);
    if (o.family != "qta" && o.family != "kvx")
        return fail("--family: '" + o.family + "' is neither qta nor kvx", 2);
    if (o.bitrate == 0 || o.bitrate > 1000000)
        return fail("--can-bitrate: must be 1..1000000 bit/s", 2);
    for (auto id : ids)
        if (id > 127)
            return fail("--ids: CANopen node ids are 1..127, not " + std::to_string(id), 2);

    CanOpenSimulator sim(*endpoint, o.family == "qta" ? CanOpenFamily::qta : CanOpenFamily::kvx, ids, o.bitrate,
                         faults, verbose);
    for (const auto& [index, sub] : o.failOn)
        sim.failOn(index, sub);
    if (!sim.connect(error))
        return fail(error, 1);
    if (!controlPath.empty() && !sim.openControl(controlPath, error))
        return fail(error, 1);
    const int stopFd = kavreltools::stopOnSignals();
    if (stopFd < 0)
        return fail("cannot make the signal pipe", 1);
    std::cout << "canopen " << endpoint->text << std::endl;
    std::cout << "ready" << std::endl;
    return sim.run(stopFd) ? 0 : 1;
}

} // namespace drivesim
