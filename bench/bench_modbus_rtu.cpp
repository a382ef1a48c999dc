// One parameter read over Modbus RTU through a socat pseudo-terminal pair:
// FieldbusDevice::getParameter through the protocol, the RS485 library
// adapter and our stand-in library, against libmodbus as RTU client reading
// the same two holding registers from the same server in the same run. The
// ratio of the best times per read is printed at the end (target 1.15).
//
// A pseudo-terminal does not pace bytes at the baud rate; a real line at
// 19200 baud adds (8 + 9) bytes x 11 bits / 19200 = 9.7 ms per read.
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "ModbusBenchPeer.h"
#include "core/FieldbusDevice.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"

namespace {

constexpr std::uint16_t paramIndex = 1, paramSubindex = 23; // serial number on both servers
constexpr int registerAddress = (paramIndex * 128 + paramSubindex) * 2;

struct Server {
    modbusbench::PtyPair pair;
    std::unique_ptr<modbusbench::Child> child;
    std::string kind;
    bool ready = false;
    Server()
    {
        if (!pair.ok())
            return;
        if (const std::string sim = modbusbench::simulatorPath(); !sim.empty()) {
            kind = "kavrel-drive-sim";
            child = std::make_unique<modbusbench::Child>(
                std::vector<std::string>{sim, "--serial", pair.b, "--ids", "1", "--baud", "19200"});
            ready = !modbusbench::awaitLine(*child, "ready").empty();
        } else {
            kind = "pymodbus";
            child = std::make_unique<modbusbench::Child>(std::vector<std::string>{
                "/usr/bin/python3", modbusbench::pymodbusServer(), "--serial", pair.b, "--lifetime", "600"});
            ready = !modbusbench::awaitLine(*child, "READY").empty();
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
    if (!server.ready) {
        state.SkipWithError("no Modbus RTU server");
        return;
    }
    auto hw = std::make_shared<Kavrel::HardwareInterfaceModbusRs485Dll>();
    hw->setPort(server.pair.a);
    hw->setBaudrate(19200);
    Kavrel::GenericParameters p;
    p.setText(0, "N");
    p.setText(1, "8");
    p.setText(2, "1");
    hw->setParameters(p);
    auto protocol = std::make_shared<Kavrel::FieldbusProtocolModbusRtu>(hw);
    if (protocol->openInterface(1) != 1) {
        state.SkipWithError("open failed");
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

void BM_LibmodbusRtuReadRegisters(benchmark::State& state)
{
    auto& server = Server::get();
    if (!server.ready) {
        state.SkipWithError("no Modbus RTU server");
        return;
    }
    modbusbench::timeLibmodbusReads(state, modbus_new_rtu(server.pair.a.c_str(), 19200, 'N', 8, 1), registerAddress,
                                    libmodbusNsPerRead, server.kind);
}

BENCHMARK(BM_LibmodbusRtuReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_LibmodbusRtuReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);

} // namespace

int main(int argc, char** argv)
{
    return modbusbench::runAndReport(argc, argv, "Modbus RTU", kavrelNsPerRead, libmodbusNsPerRead);
}
