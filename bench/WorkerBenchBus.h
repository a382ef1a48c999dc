// The simulator on a socat pair and a Modbus RTU interface on the other end,
// for the worker benchmarks.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "ModbusBenchPeer.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusRs485.h"

namespace workerbench {

struct RtuSim {
    modbusbench::PtyPair pair;
    std::unique_ptr<modbusbench::Child> sim;
    std::string fifo;
    int control = -1;
    bool ready = false;

    explicit RtuSim(const std::string& ids)
    {
        const std::string path = modbusbench::simulatorPath();
        if (!pair.ok() || path.empty())
            return;
        fifo = pair.a + ".control";
        sim = std::make_unique<modbusbench::Child>(std::vector<std::string>{
            path, "--serial", pair.b, "--baud", "19200", "--ids", ids, "--control", fifo});
        ready = !modbusbench::awaitLine(*sim, "ready").empty();
        if (ready)
            control = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ready = ready && control >= 0;
        static std::string dataPath;
        if (dataPath.empty()) {
            char pattern[] = "/tmp/kavrel-bench-data-XXXXXX";
            if (::mkdtemp(pattern))
                dataPath = pattern;
            Kavrel::CommunicationManager::getInstance().setDataPath(dataPath);
        }
    }
    ~RtuSim()
    {
        if (control >= 0)
            ::close(control);
    }
    // Sends a control line and waits until the simulator has acted on it.
    bool say(const std::string& line)
    {
        const std::string text = line + "\n";
        if (::write(control, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return false;
        return !modbusbench::awaitLine(*sim, "control " + line).empty();
    }
    std::unique_ptr<Kavrel::FieldbusInterface> makeInterface(bool networkScan)
    {
        ::setenv("KAVREL_SERIAL_PORTS", pair.a.c_str(), 1);
        auto& manager = Kavrel::CommunicationManager::getInstance();
        manager.setProtocolName("ModbusRS485");
        auto bus = manager.createInterface(networkScan);
        auto* rs485 = dynamic_cast<Kavrel::FieldbusInterfaceModbusRs485*>(bus.get());
        if (!rs485)
            return nullptr;
        const std::int32_t index = rs485->findInterfaceByNameToOpen(pair.a);
        if (index < 0 || !rs485->setBaudrateText("19200") || !rs485->setFrameFormat("N,8,1"))
            return nullptr;
        rs485->setInterfaceIndex(index);
        bus->setDontShowDialog(1);
        return bus;
    }
};

} // namespace workerbench
