// A network scan over Modbus RTU (simulator on a socat pair) of 20 ids with 3
// drives present. The scan's wall time, less the fixed 1.1 s start delay, is
// compared with what the same connects cost when run one after another on the
// host thread with no worker (the bus time-outs of the absent ids and the
// exchanges of the present ones). Target: overhead under 5 %.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "WorkerBenchBus.h"
#include "commonbase/HostEventLoop.h"
#include "commonbase/MessageWindow.h"
#include "core/FieldbusDevice.h"
#include "core/NetworkScanThread.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* const range = "1-20";

class FinishWindow : public commonbase::MessageWindow {
public:
    void handleMessage(std::uint32_t message, std::int32_t, std::int32_t second) override
    {
        if (message == Kavrel::FieldbusInterface::msgNetworkScanStepped)
            found += second != 0 ? 1 : 0;
        if (message == Kavrel::FieldbusInterface::msgNetworkScanFinished)
            finished = true;
    }
    int found = 0;
    bool finished = false;
};

workerbench::RtuSim& sim()
{
    static workerbench::RtuSim rig("4,11,19");
    return rig;
}

double directSeconds = -1;
double scanSeconds = -1;

// The same connects as the scan makes, in order, on this thread.
void BM_ConnectsWithoutWorker(benchmark::State& state)
{
    if (!sim().ready) {
        state.SkipWithError("simulator not ready");
        return;
    }
    for (auto _ : state) {
        auto bus = sim().makeInterface(true);
        if (!bus || bus->setScanRange(range) != 0) {
            state.SkipWithError("interface not ready");
            return;
        }
        bus->setNodeGuardEnabled(0);
        int found = 0;
        const auto start = Clock::now();
        for (std::uint32_t id : bus->getFieldbusProtocol()->getScanRangeIds())
            found += bus->scanConnect(id) ? 1 : 0;
        directSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["found"] = found;
        bus.reset();
    }
    state.counters["seconds"] = directSeconds;
}

void BM_NetworkScan(benchmark::State& state)
{
    if (!sim().ready) {
        state.SkipWithError("simulator not ready");
        return;
    }
    for (auto _ : state) {
        auto bus = sim().makeInterface(true);
        if (!bus || bus->setScanRange(range) != 0) {
            state.SkipWithError("interface not ready");
            return;
        }
        auto window = std::make_shared<FinishWindow>();
        bus->setMessageWindow(window);
        const auto start = Clock::now();
        if (bus->startNetworkScan() != 0) {
            state.SkipWithError("scan did not start");
            return;
        }
        commonbase::HostEventLoop::runUntil([&] { return window->finished; }, std::chrono::seconds(120));
        scanSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["found"] = window->found;
        bus.reset();
    }
    state.counters["seconds"] = scanSeconds;
}

BENCHMARK(BM_ConnectsWithoutWorker)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetworkScan)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double delay = std::chrono::duration<double>(Kavrel::NetworkScanThread::startDelay).count();
    const double overhead = directSeconds > 0 ? (scanSeconds - delay - directSeconds) / directSeconds * 100.0 : -1;
    std::printf("RTU scan of %s, 3 present: scan %.3f s = %.1f s delay + %.3f s; the same connects without the "
                "worker %.3f s (17 absent ids at a %d ms reply time-out); overhead %.2f %% (target < 5 %%)\n",
                range, scanSeconds, delay, scanSeconds - delay, directSeconds,
                Kavrel::HardwareInterfaceModbusRs485Dll::replyTimeoutMs, overhead);
    return 0;
}
