// CANopen SDO reads over loopback through kavrel-canbus: FieldbusDevice::
// getParameter through the QTA protocol and the PEAK adapter (stand-in
// library), against a minimal socketcand client doing the same 0x605/0x585
// exchange on the same server and drive in the same run. Then, on a server
// that paces each bus by the frames' bit time, the full stack at 1 Mbit/s and
// 500 kbit/s beside the bound that bit time sets for one expedited SDO.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ModbusBenchPeer.h"
#include "core/FieldbusDevice.h"
#include "hardware/HardwareInterfacePeakCan.h"
#include "protocols/FieldbusProtocolCanOpenQta.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t node = 5;

// A server and one QTA drive per bus; kept for the whole run.
struct Bus {
    std::unique_ptr<modbusbench::Child> server;
    std::vector<std::unique_ptr<modbusbench::Child>> drives;
    int port = 0;

    Bus(bool pace, const std::vector<std::pair<std::string, std::uint32_t>>& buses)
    {
        std::vector<std::string> argv{std::string(KAVREL_BIN_DIR) + "/kavrel-canbus", "--listen", "127.0.0.1:0"};
        for (const auto& [name, rate] : buses) {
            argv.push_back("--bus");
            argv.push_back(name + "=" + std::to_string(rate));
        }
        if (pace)
            argv.push_back("--pace");
        server = std::make_unique<modbusbench::Child>(argv);
        const std::string line = modbusbench::awaitLine(*server, "canbus ");
        if (line.empty() || modbusbench::awaitLine(*server, "ready").empty())
            return;
        port = std::stoi(line.substr(line.rfind(':') + 1));
        for (const auto& [name, rate] : buses) {
            drives.push_back(std::make_unique<modbusbench::Child>(std::vector<std::string>{
                std::string(KAVREL_BIN_DIR) + "/kavrel-drive-sim", "--canopen", endpoint(name), "--family", "qta",
                "--ids", std::to_string(node), "--can-bitrate", std::to_string(rate)}));
            if (modbusbench::awaitLine(*drives.back(), "ready").empty())
                port = 0;
        }
    }
    std::string endpoint(const std::string& name) const { return "127.0.0.1:" + std::to_string(port) + "/" + name; }

    static Bus& plain()
    {
        static Bus bus(false, {{"can0", 500000}});
        return bus;
    }
    static Bus& paced()
    {
        static Bus bus(true, {{"fast", 1000000}, {"half", 500000}});
        return bus;
    }
};

struct Result {
    double bestNs = 0;
    double p99Ns = 0;
};
Result kavrel, minimal, paced1M, paced500k;

// Times one read per iteration, keeping the best mean and that run's p99.
template <typename Read>
void timeReads(benchmark::State& state, Result& result, Read read)
{
    std::vector<double> samples;
    samples.reserve(100000);
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto before = Clock::now();
        if (!read()) {
            state.SkipWithError("read failed");
            return;
        }
        samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - before).count());
    }
    const double previous = result.bestNs;
    modbusbench::keepBest(result.bestNs, Clock::now() - start, state.iterations());
    if (result.bestNs != previous && !samples.empty()) {
        std::sort(samples.begin(), samples.end());
        result.p99Ns = samples[samples.size() * 99 / 100];
    }
}

// The full stack on one endpoint at a rate in kbit/s.
void fullStack(benchmark::State& state, Bus& bus, const std::string& busName, std::uint32_t kbits, Result& result)
{
    if (bus.port == 0) {
        state.SkipWithError("kavrel-canbus or kavrel-drive-sim did not start");
        return;
    }
    ::setenv("KAVREL_CAN", bus.endpoint(busName).c_str(), 1);
    std::shared_ptr<Kavrel::HardwareInterface> adapter;
    try {
        Kavrel::HardwareInterfacePeakCan lister;
        Kavrel::HardwareInterfaceList list;
        lister.getAvailableInterfaces(list);
        if (!list.empty())
            adapter = list.front();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    if (!adapter) {
        state.SkipWithError("no PEAK adapter listed");
        return;
    }
    adapter->setBaudrate(kbits);
    auto protocol = std::make_shared<Kavrel::FieldbusProtocolCanOpenQta>(adapter);
    if (protocol->openInterface(node) != 1) {
        state.SkipWithError("open failed");
        return;
    }
    Kavrel::FieldbusDevice device;
    device.setFieldbusProtocol(protocol);
    device.setUniqueId(node);
    std::uint32_t value = 0;
    timeReads(state, result, [&] {
        const bool read = device.getParameter(4, 1, 1, value) == 1;
        benchmark::DoNotOptimize(value);
        return read;
    });
    protocol->closeInterface();
}

// The same exchange written straight onto the server's socket.
class MinimalClient {
public:
    explicit MinimalClient(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ready = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && expect("< hi >") &&
                send("< open can0 >") && expect("< ok >") && send("< rawmode >") && expect("< ok >");
    }
    ~MinimalClient() { ::close(fd); }
    bool ok() const { return ready; }
    bool send(const char* text) { return ::send(fd, text, std::strlen(text), 0) == static_cast<ssize_t>(std::strlen(text)); }
    // Reads messages until one starts with prefix.
    bool expect(const char* prefix)
    {
        for (;;) {
            const auto end = buffer.find('>');
            if (end != std::string::npos) {
                const std::string message = buffer.substr(0, end + 1);
                buffer.erase(0, end + 1);
                const auto start = message.find('<');
                if (start != std::string::npos && message.compare(start, std::strlen(prefix), prefix) == 0)
                    return true;
                continue;
            }
            char chunk[512];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

private:
    int fd = -1;
    bool ready = false;
    std::string buffer;
};

void BM_MinimalSocketcandClient(benchmark::State& state)
{
    auto& bus = Bus::plain();
    if (bus.port == 0) {
        state.SkipWithError("kavrel-canbus or kavrel-drive-sim did not start");
        return;
    }
    MinimalClient client(bus.port);
    if (!client.ok()) {
        state.SkipWithError("handshake failed");
        return;
    }
    timeReads(state, minimal, [&] {
        return client.send("< send 605 8 40 01 30 01 00 00 00 00 >") && client.expect("< frame 585 ");
    });
}

void BM_FieldbusDeviceSdoRead(benchmark::State& state)
{
    fullStack(state, Bus::plain(), "can0", 500, kavrel);
}

void BM_FieldbusDeviceSdoReadPaced1M(benchmark::State& state)
{
    fullStack(state, Bus::paced(), "fast", 1000, paced1M);
}

void BM_FieldbusDeviceSdoReadPaced500k(benchmark::State& state)
{
    fullStack(state, Bus::paced(), "half", 500, paced500k);
}

BENCHMARK(BM_MinimalSocketcandClient)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceSdoRead)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceSdoReadPaced1M)->MinTime(1.0)->UseRealTime()->Repetitions(2);
BENCHMARK(BM_FieldbusDeviceSdoReadPaced500k)->MinTime(1.0)->UseRealTime()->Repetitions(2);

// Bits of a standard data frame with n data bytes, worst-case stuffing included.
double frameBits(int n)
{
    return 47 + 8 * n + (34 + 8 * n - 1) / 4;
}

void reportPaced(const char* name, const Result& r, double bitsPerSecond)
{
    if (r.bestNs <= 0)
        return;
    const double bound = bitsPerSecond / (2 * frameBits(8));
    const double rate = 1e9 / r.bestNs;
    std::printf("paced %s: %.0f reads/s, bus bound %.0f reads/s (two 8-byte frames), %.1f %% of it (target >= 90 %%)\n",
                name, rate, bound, 100.0 * rate / bound);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (kavrel.bestNs > 0 && minimal.bestNs > 0)
        std::printf("SDO read, best of the runs: full stack %.0f reads/s (p99 %.0f us), minimal client %.0f reads/s "
                    "(p99 %.0f us), ratio %.3f (targets: ratio <= 1.3, >= 3000 reads/s, p99 < 1 ms)\n",
                    1e9 / kavrel.bestNs, kavrel.p99Ns / 1000, 1e9 / minimal.bestNs, minimal.p99Ns / 1000,
                    kavrel.bestNs / minimal.bestNs);
    reportPaced("1 Mbit/s", paced1M, 1e6);
    reportPaced("500 kbit/s", paced500k, 5e5);
    return 0;
}
