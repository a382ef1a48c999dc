// A 0x3FF00-byte image flashed into kavrel-drive-sim over Modbus TCP on
// loopback, with a version-1 and a version-2 loader, the erase done at the
// first poll. Reported per download: time, requests, bytes per second, and
// R = (time - fixed waits) / (sum over the download's requests of libmodbus's
// median round trip for the same request shape, timed on the same simulator in
// the same run). Target: R <= 1.15.
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "ModbusBenchPeer.h"
#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusInterface.h"
#include "automation/CFlasher.h"
#include "automation/InterfaceSettings.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashProcess.h"
#include "flashtools/FlashProtocol.h"
#include "protocols/FieldbusProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t imageBytes = 0x3FF00;
// After the flash request and after the jump; the erase ends at the first poll.
constexpr double fixedWaitSeconds = 0.040;

struct Files {
    std::string dir, image, loader[3];
    Files()
    {
        char pattern[] = "/tmp/kavrel-flash-bench-XXXXXX";
        dir = ::mkdtemp(pattern) ? pattern : "/tmp";
        std::mt19937 gen(5);
        auto binary = [&](const std::string& name, std::size_t n) {
            std::ofstream out(dir + "/" + name, std::ios::binary);
            for (std::size_t i = 0; i < n; ++i) out.put(static_cast<char>(gen()));
        };
        binary("image.bin", imageBytes);
        binary("loader.bin", 2000);
        auto srec = [&](const std::string& name, const std::string& bin, const std::string& header) {
            const std::string body = dir + "/" + name + ".body";
            if (std::system(("srec_cat " + dir + "/" + bin + " -binary -o " + body + " -motorola 2 -address-length=3 2>/dev/null").c_str()) != 0)
                return std::string();
            std::ofstream out(dir + "/" + name);
            out << header << std::ifstream(body).rdbuf();
            return dir + "/" + name;
        };
        image = srec("image.s", "image.bin", "#KOMP=3\n");
        loader[1] = srec("loader1.s", "loader.bin", "");
        loader[2] = srec("loader2.s", "loader.bin", "#FLASHPROTOCOLVERSION=2\n");
    }
    ~Files() { std::filesystem::remove_all(dir); }
};

struct Simulator {
    std::unique_ptr<modbusbench::Child> child;
    std::string port;
    Simulator()
    {
        const std::string sim = modbusbench::simulatorPath();
        if (sim.empty()) return;
        child = std::make_unique<modbusbench::Child>(
            std::vector<std::string>{sim, "--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "0"});
        const std::string line = modbusbench::awaitLine(*child, "tcp ");
        if (!line.empty()) port = line.substr(line.rfind(':') + 1);
        modbusbench::awaitLine(*child, "ready");
    }
};

// The request shapes of one download: the real protocol run against a bus that only counts.
class CountingBus : public Kavrel::FieldbusProtocol {
public:
    CountingBus() : FieldbusProtocol("Count", {}) {}
    std::int32_t readParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t&) override { return 0; }
    std::int32_t writeParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t) override { return 0; }
    std::int32_t initUpload(std::uint32_t) override { return 0; }
    std::int32_t getUpload(std::uint32_t, std::uint32_t, std::uint32_t, std::string&, std::uint32_t&) override { return 0; }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 0; }
    std::uint32_t getMaxBlockSize() override { return 246; }
    std::int32_t sendData(std::uint32_t, std::uint16_t, std::uint16_t, const std::vector<std::uint8_t>&, std::uint32_t size) override
    {
        ++writes[(size + 1) / 2];
        return 1;
    }
    std::int32_t readData(std::uint32_t, std::uint16_t, std::uint16_t, std::string& buffer, std::uint32_t) override
    {
        ++reads;
        buffer = "00000000";
        return 1;
    }
    std::map<std::uint32_t, std::size_t> writes; // registers -> requests
    std::size_t reads = 0;
};

struct Shapes {
    std::map<std::uint32_t, std::size_t> writes;
    std::size_t reads = 0;
};

Shapes shapesOf(const std::string& image, const std::string& loader)
{
    CountingBus bus;
    auto protocol = std::make_shared<Kavrel::FlashProtocolModbusTCP>(&bus, nullptr, 1);
    auto process = std::make_shared<Kavrel::FlashProcess>(false);
    protocol->setFlashProcess(process);
    process->flash(Kavrel::createFlashData(image), Kavrel::createFlashApiData(loader), protocol);
    return {bus.writes, bus.reads};
}

// libmodbus's median round trip for one request shape against the simulator.
double medianRoundTrip(modbus_t* ctx, bool read, int registers)
{
    std::vector<double> times;
    std::vector<std::uint16_t> values(static_cast<std::size_t>(std::max(registers, 2)), 0);
    const int address = (4 * 128 + 14) * 2;
    for (int i = 0; i < 201; ++i) {
        const auto begun = Clock::now();
        // Out of a download the drive refuses these with an exception reply: still one round trip.
        const int rc = read ? modbus_read_registers(ctx, address, registers, values.data())
                            : modbus_write_registers(ctx, address, registers, values.data());
        times.push_back(std::chrono::duration<double>(Clock::now() - begun).count());
        if (rc < 0 && errno < MODBUS_ENOBASE) {
            std::printf("libmodbus: no round trip (%s); the comparison is void\n", modbus_strerror(errno));
            return 0;
        }
    }
    std::nth_element(times.begin(), times.begin() + 100, times.end());
    return times[100];
}

void BM_FlashTcp(benchmark::State& state)
{
    static Files files;
    static Simulator sim;
    const int version = static_cast<int>(state.range(0));
    if (sim.port.empty() || files.image.empty()) {
        state.SkipWithError("kavrel-drive-sim or srec_cat missing");
        return;
    }
    char pattern[] = "/tmp/kavrel-flash-settings-XXXXXX";
    const std::string settings = ::mkdtemp(pattern) ? pattern : "/tmp";
    auto manager = Kavrel::CCommunicationManager::create();
    manager->put_lastSettingsPath(settings);
    manager->put_protocolname("ModbusTCP");
    std::shared_ptr<Kavrel::IFieldbusInterface> made;
    manager->create_emptyFieldbusInterface(made);
    auto bus = std::dynamic_pointer_cast<Kavrel::CFieldbusInterface>(made);
    bus->put_dontShowDialog(1);
    Kavrel::InterfaceSettings::set(*bus, "IpAddress", "127.0.0.1");
    Kavrel::InterfaceSettings::set(*bus, "EthernetPort", sim.port);
    std::shared_ptr<Kavrel::IFieldbusDevice> device;
    if (Kavrel::FAILED(bus->connectDeviceWithId(1, device))) {
        state.SkipWithError("drive 1 did not connect");
        return;
    }
    auto flasher = Kavrel::CFlasher::create();
    flasher->setFlashData(files.image);
    flasher->setFlashApiData(files.loader[version]);

    double best = 0;
    for (auto _ : state) {
        const auto begun = Clock::now();
        const Kavrel::HRESULT hr = flasher->flashDevice(device, 0, 1);
        const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
        std::shared_ptr<Kavrel::CFlashProgressState> s;
        std::int32_t end = 0;
        if (Kavrel::FAILED(hr) || Kavrel::FAILED(flasher->getFlashProgressState(s)) || (s->getEndState(end), end != 2)) {
            state.SkipWithError("the download failed");
            break;
        }
        best = best == 0 ? seconds : std::min(best, seconds);
    }
    device.reset();
    bus.reset();
    std::filesystem::remove_all(settings);

    const Shapes shapes = shapesOf(files.image, files.loader[version]);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", std::stoi(sim.port));
    modbus_set_slave(ctx, 1);
    double libmodbus = 0;
    std::size_t requests = shapes.reads;
    if (modbus_connect(ctx) == 0) {
        libmodbus += static_cast<double>(shapes.reads) * medianRoundTrip(ctx, true, 2);
        for (const auto& [registers, count] : shapes.writes) {
            libmodbus += static_cast<double>(count) * medianRoundTrip(ctx, false, static_cast<int>(registers));
            requests += count;
        }
        modbus_close(ctx);
    }
    modbus_free(ctx);
    const double r = libmodbus > 0 ? (best - fixedWaitSeconds) / libmodbus : 0;
    state.counters["seconds"] = best;
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["bytes_per_s"] = static_cast<double>(imageBytes) / best;
    state.counters["R"] = r;
    std::printf("version %d loader: %.3f s, %zu requests, %.0f bytes/s, libmodbus sum %.3f s, R = %.3f (target <= 1.15)\n",
                version, best, requests, static_cast<double>(imageBytes) / best, libmodbus, r);
}

} // namespace

BENCHMARK(BM_FlashTcp)->Arg(1)->Arg(2)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
