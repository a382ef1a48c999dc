// One parameter read over Modbus TCP on 127.0.0.1: FieldbusDevice::getParameter
// through the protocol and the Ethernet adapter, against libmodbus reading the
// same two holding registers from the same server in the same run, and against
// the machine's own limit: the same request bytes written to a plain socket and
// the whole reply read back, no library. The ratios of the times per read are
// printed at the end (targets: at most 1.15 x libmodbus, 1.10 x raw).
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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
double rawNsPerRead = 0;

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

// The floor: one write of the request frame and reads until the whole reply
// (header length) is in, on a connected socket with Nagle off as the adapter has.
void BM_RawSocketExchange(benchmark::State& state)
{
    auto& server = Server::get();
    if (server.port == 0) {
        state.SkipWithError("no Modbus TCP server");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(server.port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        state.SkipWithError("connect failed");
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::uint8_t request[12] = {0, 1, 0, 0, 0, 6, 1, 3, registerAddress >> 8, registerAddress & 0xFF, 0, 2};
    std::uint8_t reply[260];
    std::uint16_t transaction = 0;
    modbusbench::timeReads(state, rawNsPerRead, [&] {
        ++transaction;
        request[0] = static_cast<std::uint8_t>(transaction >> 8);
        request[1] = static_cast<std::uint8_t>(transaction);
        if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
            return false;
        std::size_t have = 0;
        while (have < 6 || have < 6u + (reply[4] << 8 | reply[5])) {
            const ssize_t n = ::recv(fd, reply + have, sizeof reply - have, 0);
            if (n <= 0)
                return false;
            have += static_cast<std::size_t>(n);
        }
        benchmark::DoNotOptimize(reply);
        return have == 13 && reply[1] == request[1];
    });
    state.SetLabel(server.kind);
    ::close(fd);
}

BENCHMARK(BM_LibmodbusReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_RawSocketExchange)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_LibmodbusReadRegisters)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_RawSocketExchange)->MinTime(1.0)->UseRealTime()->Repetitions(3);
BENCHMARK(BM_FieldbusDeviceGetParameter)->MinTime(1.0)->UseRealTime()->Repetitions(3);

} // namespace

int main(int argc, char** argv)
{
    return modbusbench::runAndReport(argc, argv, "Modbus TCP", kavrelNsPerRead, libmodbusNsPerRead, &rawNsPerRead);
}
