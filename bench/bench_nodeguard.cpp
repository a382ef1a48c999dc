// Node guarding of 32 drives of the simulator over Modbus RTU (socat pair) at
// a 500 ms interval:
//  - CPU time of the process (the library's threads; the host thread sleeps)
//    per second of wall time, target under 1 % of one core;
//  - time from a drive going silent (the simulator confirms it) to its
//    node-guard event on the host thread, target at most interval + reply
//    time-out + 100 ms.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "WorkerBenchBus.h"
#include "commonbase/HostEventLoop.h"
#include "commonbase/MessageWindow.h"
#include "core/FieldbusDevice.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t intervalMs = 500;
constexpr int driveCount = 32;

class TimeoutWindow : public commonbase::MessageWindow {
public:
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t) override
    {
        if (message == Kavrel::FieldbusInterface::msgNodeGuardTimeout)
            arrived.push_back({first, Clock::now()});
    }
    std::vector<std::pair<std::int32_t, Clock::time_point>> arrived;
};

struct Guarded {
    workerbench::RtuSim sim{"1-32"};
    std::shared_ptr<TimeoutWindow> window = std::make_shared<TimeoutWindow>();
    std::unique_ptr<Kavrel::FieldbusInterface> bus;
    std::vector<std::unique_ptr<Kavrel::FieldbusDevice>> devices;
    bool ready = false;
    Guarded()
    {
        if (!sim.ready)
            return;
        bus = sim.makeInterface(false);
        if (!bus)
            return;
        bus->setMessageWindow(window);
        bus->setNodeGuardEnabled(1);
        bus->setNodeGuardInterval(static_cast<std::int32_t>(intervalMs));
        for (std::uint32_t id = 1; id <= driveCount; ++id) {
            std::unique_ptr<Kavrel::FieldbusDevice> device;
            if (bus->connectDevice(id, device) != 0 || !bus->isNodeGuarded(device.get()))
                return;
            devices.push_back(std::move(device));
        }
        ready = true;
    }
    ~Guarded()
    {
        devices.clear();
        bus.reset();
    }
    static Guarded& get()
    {
        static Guarded rig;
        return rig;
    }
};

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double cpuPercent = -1;
double worstLatencyMs = -1;
double meanLatencyMs = -1;

void BM_NodeGuardCpuPerWallSecond(benchmark::State& state)
{
    auto& rig = Guarded::get();
    if (!rig.ready) {
        state.SkipWithError("simulator or interface not ready");
        return;
    }
    for (auto _ : state) {
        const double cpu0 = cpuSeconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        cpuPercent = (cpuSeconds() - cpu0) / wall * 100.0;
    }
    state.counters["cpu_percent_of_core"] = cpuPercent;
    state.counters["drives"] = driveCount;
}

void BM_NodeGuardSilentToEvent(benchmark::State& state)
{
    auto& rig = Guarded::get();
    if (!rig.ready) {
        state.SkipWithError("simulator or interface not ready");
        return;
    }
    std::vector<double> latencies;
    std::int32_t next = 32;
    for (auto _ : state) {
        for (int trial = 0; trial < 4; ++trial, --next) {
            rig.window->arrived.clear();
            if (!rig.sim.say("silence " + std::to_string(next))) {
                state.SkipWithError("control line not confirmed");
                return;
            }
            const auto silent = Clock::now();
            commonbase::HostEventLoop::runUntil([&] { return !rig.window->arrived.empty(); }, std::chrono::seconds(10));
            if (rig.window->arrived.empty() || rig.window->arrived.front().first != next) {
                state.SkipWithError("no or wrong node-guard event");
                return;
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(rig.window->arrived.front().second - silent).count());
        }
    }
    worstLatencyMs = *std::max_element(latencies.begin(), latencies.end());
    double sum = 0;
    for (double l : latencies)
        sum += l;
    meanLatencyMs = sum / static_cast<double>(latencies.size());
    state.counters["worst_ms"] = worstLatencyMs;
    state.counters["mean_ms"] = meanLatencyMs;
    state.counters["bound_ms"] = intervalMs + Kavrel::HardwareInterfaceModbusRs485Dll::replyTimeoutMs + 100;
}

BENCHMARK(BM_NodeGuardCpuPerWallSecond)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NodeGuardSilentToEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double bound = intervalMs + Kavrel::HardwareInterfaceModbusRs485Dll::replyTimeoutMs + 100;
    std::printf("node guarding, %d drives at %u ms over RTU: CPU %.2f %% of one core (target < 1 %%); "
                "silent-to-event worst %.0f ms, mean %.0f ms (bound %.0f ms)\n",
                driveCount, intervalMs, cpuPercent, worstLatencyMs, meanLatencyMs, bound);
    return 0;
}
