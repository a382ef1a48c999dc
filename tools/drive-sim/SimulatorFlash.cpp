// The simulator's side of firmware download that concerns its ports: the RTU
// line on a pseudo-terminal of its own, whose rate follows the loader.
#include <iostream>
#include "Simulator.h"

namespace drivesim {

bool Simulator::openModbusPty(const std::string& link, int baud, int flashBaud, std::string& error)
{
    auto line = std::make_unique<PtyLine>();
    if (!line->open(link, baud, flashBaud, error))
        return false;
    ports.push_back({Kind::rtu, line->master(), "rtu", {}, std::chrono::steady_clock::now()});
    ptys.push_back(std::move(line));
    return true;
}

bool Simulator::rateHeard(const Port& port) const
{
    for (const auto& line : ptys)
        if (line->master() == port.fd) {
            int host = line->hostRate();
            if (host == line->rate())
                return true;
            if (verbose)
                std::cerr << "kavrel-drive-sim: rtu: frame at " << host << " baud, the line runs at " << line->rate()
                          << ": not heard" << std::endl;
            return false;
        }
    return true;
}

void Simulator::afterFlashReply(const Port& port, FlashEvent event, std::uint32_t drive)
{
    if (event == FlashEvent::none)
        return;
    for (auto& line : ptys)
        if (line->master() == port.fd) {
            if (event == FlashEvent::jumped)
                line->toFlashRate(drive);
            else
                line->toBaseRate();
            if (verbose)
                std::cerr << "kavrel-drive-sim: rtu: line now at " << line->rate() << " baud" << std::endl;
        }
}

void Simulator::resetFlash(Drive& drive)
{
    modbus.flash().reset(drive.id());
    for (auto& line : ptys)
        if (line->switchedBy() == drive.id())
            line->toBaseRate();
}

} // namespace drivesim
