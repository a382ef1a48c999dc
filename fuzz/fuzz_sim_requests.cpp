// Requests as the drive simulator receives them on Modbus TCP, Modbus RTU and
// the Vorlane line: any bytes give replies or silence, never a crash, and
// never more reply than a few frames per request.
#include <fuzzer/FuzzedDataProvider.h>
#include "DriveTable.h"
#include "Simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static drivesim::DriveTable table = [] {
        drivesim::DriveTable t;
        std::string error;
        if (!t.load(KAVREL_SOURCE_DIR "/data/sim/drive.xml", error))
            __builtin_trap();
        return t;
    }();
    FuzzedDataProvider in(data, size);
    const auto channel = static_cast<drivesim::Simulator::Channel>(in.ConsumeIntegralInRange<int>(0, 2));
    const std::vector<std::uint8_t> input = in.ConsumeRemainingBytes<std::uint8_t>();
    // Fresh drives per input, so one input's writes do not steer the next.
    drivesim::Simulator sim(table, {1, 2, 31}, drivesim::FaultPlan{}, false);
    const auto out = sim.answerBytes(channel, input);
    if (out.size() > 300 * (input.size() + 1))
        __builtin_trap();
    return 0;
}
