// One parameter read over Modbus TCP on 127.0.0.1: FieldbusDevice::getParameter
// through the protocol and the Ethernet adapter, against libmodbus reading the
// same two holding registers from the same server in the same run. The ratio
// of the two times per read is printed at the end (target: at most 1.15).
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "ModbusBenchPeer.h"
#include "core/FieldbusDevice.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

namespace {

constexpr std::uint16_t paramIndex = 1, paramSubindex = 23; // serial number on both servers
constexpr int registerAddress = (paramIndex * 128 + paramSubindex) * 2;

struct Server {
    std::unique_ptr<modbusbench::Child> child;
    int port = 0;
    std::string kind;
    Server()
    {
        if (const std::string sim = modbusbench::simulatorPath(); !sim.empty()) {
            kind = "kavrel-drive-sim";
            child = std::make_unique<modbusbench::Child>(
                std::vector<std::string>{sim, "--tcp", "127.0.0.1:0", "--ids", "1"});
            const std::string line = modbusbench::awaitLine(*child, "tcp ");
            if (!line.empty())
                port = std::stoi(line.substr(line.rfind(':') + 1));
            modbusbench::awaitLine(*child, "ready");
        } else {
            kind = "pymodbus";
            port = 15020 + static_cast<int>(::getpid() % 2000);
            child = std::make_unique<modbusbench::Child>(std::vector<std::string>{
                "/usr/bin/python3", modbusbench::pymodbusServer(), "--tcp", std::to_string(port), "--lifetime",
                "600"});
            if (modbusbench::awaitLine(*child, "READY").empty())
                port = 0;
        }
    }
    static Server& get()
    {
        static Server server;
        return server;
    }
};

double kavrelNsPerRead = 0;
double libmodbusNsPerRead = 0;

void BM_FieldbusDeviceGetParameter(benchmark::State& state)
{
    auto& server = Server::get();
    if (server.port == 0) {
        state.SkipWithError("no Modbus TCP server");
        return;
    }
    auto hw = std::make_shared<Kavrel::HardwareInterfaceEthernet>();
    Kavrel::GenericParameters p;
    p.setText(0, "127.0.0.1");
    p.setText(1, std::to_string(server.port));
    hw->setParameters(p);
    auto protocol = std::make_shared<Kavrel::FieldbusProtocolModbusTcp>(hw);
    if (protocol->openInterface(1) != 1) {
        state.SkipWithError("connect failed");
        return;
    }
    Kavrel::FieldbusDevice device;
    device.setFieldbusProtocol(protocol);
    device.setUniqueId(1);
    std::uint32_t value = 0;
    modbusbench::timeReads(state, kavrelNsPerRead, [&] {
        const bool read = device.getParameter(4, paramIndex, paramSubindex, value) == 1;
        benchmark::DoNotOptimize(value);
        return read;
    });
    state.SetLabel(server.kind);
    protocol->closeInterface();
}

void BM_LibmodbusReadRegisters(benchmark::State& state)
{
    auto& server = Server::get();
    if (server.port == 0) {
        state.SkipWithError("no Modbus TCP server");
        return;
    }
    modbusbench::timeLibmodbusReads(state, modbus_new_tcp("127.0.0.1", server.port), registerAddress,
                                    libmodbusNsPerRead, server.kind);
}

BENCHMARK(BM_LibmodbusReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_LibmodbusReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);

} // namespace

int main(int argc, char** argv)
{
    return modbusbench::runAndReport(argc, argv, "Modbus TCP", kavrelNsPerRead, libmodbusNsPerRead);
}
