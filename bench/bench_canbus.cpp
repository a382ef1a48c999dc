// SDO reads on the CAN bus server: one expedited read (0x605 -> 0x585) of a
// kavrel-drive-sim CANopen drive, round trip per iteration, through
//  - a plain client of the socketcand protocol (send, poll, read),
//  - the IXXAT stand-in, called as the IXXAT adapter calls it,
//  - the PEAK stand-in with its eventfd, called as the PEAK adapter does,
//  - the plain client on a --pace bus at 1 Mbit/s and 500 kbit/s, beside
//    the bus bound of an expedited SDO (two 8-byte frames of 135 bits each).
// Counters: reads/s and the 99th percentile of one read in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>

#include "CanApi2.h"
#include "CanBusClient.h"
#include "ModbusBenchPeer.h"
#include "vcinpl.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t node = 5;
const std::uint8_t readRequest[8] = {0x40, 0x01, 0x30, 0x01, 0, 0, 0, 0};

// A bus server and one QTA drive on it, started once per setting.
struct Bench {
    std::unique_ptr<modbusbench::Child> bus, sim;
    std::string endpoint;
    explicit Bench(std::uint32_t rate, bool pace)
    {
        std::vector<std::string> argv{std::string(KAVREL_BIN_DIR) + "/kavrel-canbus", "--bus",
                                      "can0=" + std::to_string(rate)};
        if (pace)
            argv.push_back("--pace");
        bus = std::make_unique<modbusbench::Child>(argv);
        const std::string line = modbusbench::awaitLine(*bus, "canbus ");
        if (line.empty() || modbusbench::awaitLine(*bus, "ready").empty())
            return;
        endpoint = line.substr(7) + "/can0";
        sim = std::make_unique<modbusbench::Child>(std::vector<std::string>{
            std::string(KAVREL_BIN_DIR) + "/kavrel-drive-sim", "--canopen", endpoint, "--family", "qta", "--ids",
            std::to_string(node), "--can-bitrate", std::to_string(rate)});
        if (modbusbench::awaitLine(*sim, "ready").empty())
            endpoint.clear();
    }
    static Bench& get(std::uint32_t rate, bool pace)
    {
        static std::map<std::pair<std::uint32_t, bool>, std::unique_ptr<Bench>> all;
        auto& b = all[{rate, pace}];
        if (!b)
            b = std::make_unique<Bench>(rate, pace);
        return *b;
    }
};

void report(benchmark::State& state, std::vector<double>& samplesUs, Clock::duration total)
{
    if (samplesUs.empty())
        return;
    std::sort(samplesUs.begin(), samplesUs.end());
    const double seconds = std::chrono::duration<double>(total).count();
    state.counters["reads/s"] = static_cast<double>(samplesUs.size()) / seconds;
    state.counters["p99_us"] = samplesUs[samplesUs.size() * 99 / 100];
}

// Plain client: write the request, poll the socket, read the reply.
void rawReads(benchmark::State& state, std::uint32_t rate, bool pace)
{
    Bench& b = Bench::get(rate, pace);
    std::string error;
    auto ep = canbus::Endpoint::parse(b.endpoint);
    auto c = ep ? canbus::Connection::open(*ep, rate, error) : nullptr;
    if (!c) {
        state.SkipWithError(("no bus: " + error).c_str());
        return;
    }
    std::this_thread::sleep_for(50ms);
    canbus::Frame f;
    f.id = 0x600 + node;
    f.len = 8;
    std::copy(readRequest, readRequest + 8, f.data);
    std::vector<canbus::Frame> got;
    std::vector<double> samples;
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        got.clear();
        c->send(f, 100ms);
        while (got.empty()) {
            pollfd p{c->fd(), POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1 || !c->receive(got)) {
                state.SkipWithError("no reply");
                return;
            }
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    report(state, samples, Clock::now() - start);
    if (pace)
        state.counters["bus_bound/s"] = rate / (2.0 * 135.0);
}

void BM_PlainClient(benchmark::State& state)
{
    rawReads(state, 125000, false);
}
BENCHMARK(BM_PlainClient)->MinTime(2.0)->UseRealTime();

void BM_PacedPlainClient(benchmark::State& state)
{
    rawReads(state, static_cast<std::uint32_t>(state.range(0)), true);
}
BENCHMARK(BM_PacedPlainClient)->Arg(1000000)->Arg(500000)->MinTime(2.0)->UseRealTime();

void BM_IxxatStandin(benchmark::State& state)
{
    Bench& b = Bench::get(125000, false);
    ::setenv("KAVREL_CAN", b.endpoint.c_str(), 1);
    VCINPL_HANDLE device = 0, control = 0, channel = 0;
    if (vciDeviceOpen(VCINPL_VCIID_BASE, &device) != VCINPL_OK || canControlOpen(device, 0, &control) != VCINPL_OK ||
        canControlInitialize(control, VCINPL_OPMODE_STANDARD, 0x03, 0x1C) != VCINPL_OK ||
        canControlStart(control, 1) != VCINPL_OK || canChannelOpen(device, 0, 0, &channel) != VCINPL_OK ||
        canChannelInitialize(channel, 100, 1, 100, 1) != VCINPL_OK || canChannelActivate(channel, 1) != VCINPL_OK) {
        state.SkipWithError("cannot open the IXXAT stand-in");
        return;
    }
    canChannelReadMessage(channel, 100, nullptr);
    VCINPL_CANMSG m{}, r{};
    m.id = 0x600 + node;
    m.dlc = 8;
    std::copy(readRequest, readRequest + 8, m.data);
    std::vector<double> samples;
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        while (canChannelPeekMessage(channel, &r) == VCINPL_OK) {
        }
        if (canChannelSendMessage(channel, 100, &m) != VCINPL_OK || canChannelWaitRxEvent(channel, 100) != VCINPL_OK ||
            canChannelPeekMessage(channel, &r) != VCINPL_OK) {
            state.SkipWithError("no reply");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    report(state, samples, Clock::now() - start);
    vciDeviceClose(device);
}
BENCHMARK(BM_IxxatStandin)->MinTime(2.0)->UseRealTime();

void BM_PeakStandin(benchmark::State& state)
{
    Bench& b = Bench::get(125000, false);
    ::setenv("KAVREL_CAN", b.endpoint.c_str(), 1);
    std::uint8_t client = 0, net = 0;
    const int event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (CAN_RegisterNet(1, "Kavrel_Network", 1, 0x031C) != CANAPI2_OK ||
        CAN_RegisterClient("Kavrel_Client", 0, &client) != CANAPI2_OK ||
        CAN_ConnectToNet(client, "Kavrel_Network", &net) != CANAPI2_OK ||
        CAN_RegisterMsg(client, net, 0, 0x7FF) != CANAPI2_OK ||
        CAN_SetClientParam(client, CANAPI2_PARAM_RX_EVENT, event) != CANAPI2_OK) {
        state.SkipWithError("cannot open the PEAK stand-in");
        return;
    }
    CANAPI2_MSG m{}, r{};
    m.id = 0x600 + node;
    m.len = 8;
    std::copy(readRequest, readRequest + 8, m.data);
    std::vector<double> samples;
    std::uint64_t count = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        while (CAN_Read(client, &r, nullptr, nullptr) == CANAPI2_OK) {
        }
        [[maybe_unused]] auto n = ::read(event, &count, sizeof count);
        pollfd p{event, POLLIN, 0};
        if (CAN_Write(client, net, &m, 0) != CANAPI2_OK || ::poll(&p, 1, 100) != 1 ||
            ::read(event, &count, sizeof count) != sizeof count || CAN_Read(client, &r, nullptr, nullptr) != CANAPI2_OK) {
            state.SkipWithError("no reply");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    report(state, samples, Clock::now() - start);
    CAN_DisconnectFromNet(client, net);
    CAN_RemoveClient(client);
    CAN_RemoveNet(1);
    ::close(event);
}
BENCHMARK(BM_PeakStandin)->MinTime(2.0)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
