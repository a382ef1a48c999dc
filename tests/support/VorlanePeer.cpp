#include "support/VorlanePeer.h"

#include <chrono>
#include <cstdio>

namespace kavreltest {

using namespace std::chrono_literals;

namespace {

bool allHex(const std::string& text)
{
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::string hex8(std::uint32_t value)
{
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", value);
    return digits;
}

} // namespace

VorlanePeer::VorlanePeer(const std::string& path) : port(path)
{
    worker = std::thread([this] {
        std::string pending;
        // About ten minutes at most, whatever happens.
        for (int i = 0; i < 30000 && !stopping && port.ok(); ++i) {
            pending += port.readUntil('\r', 20ms);
            const auto cr = pending.find('\r');
            if (cr == std::string::npos)
                continue;
            const std::string telegram = pending.substr(0, cr + 1);
            pending.erase(0, cr + 1);
            std::string reply;
            {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back(telegram);
                reply = answer(telegram);
            }
            if (!reply.empty())
                port.write(reply);
        }
    });
}

VorlanePeer::~VorlanePeer()
{
    stopping = true;
    worker.join();
}

std::string VorlanePeer::answer(const std::string& t)
{
    const std::string end = fault == Fault::noEnd ? "" : "\r";
    if (t.size() == 4 && t[0] == '#') {
        const std::string digits = t.substr(1, 2);
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            return {};
        current = static_cast<std::uint32_t>(std::stoul(digits));
        if (!drives.count(current)) {
            current = 0;
            return {};
        }
        return t.substr(0, 3) + end;
    }
    if (t.size() != 17 || current == 0 || !allHex(t.substr(0, 16)) || fault == Fault::silent)
        return {};
    const auto subindex = static_cast<std::uint16_t>(std::stoul(t.substr(2, 2), nullptr, 16));
    const auto index = static_cast<std::uint16_t>(std::stoul(t.substr(4, 4), nullptr, 16));
    auto& params = drives[current];
    if (t.compare(0, 2, "09") == 0) {
        params[{index, subindex}] = static_cast<std::uint32_t>(std::stoul(t.substr(8, 8), nullptr, 16));
        return t.substr(0, 16) + end;
    }
    if (t.compare(0, 2, "02") != 0)
        return {};
    std::string value = hex8(params[{index, subindex}]);
    if (fault == Fault::notHex)
        value = "00G0ZZ12";
    std::string reply = t.substr(0, 8) + value;
    if (fault == Fault::shortReply)
        reply.resize(15);
    return reply + end;
}

void VorlanePeer::addDrive(std::uint32_t address)
{
    std::lock_guard<std::mutex> lock(m);
    drives[address];
}

void VorlanePeer::setParameter(std::uint32_t address, std::uint16_t index, std::uint16_t subindex, std::uint32_t value)
{
    std::lock_guard<std::mutex> lock(m);
    drives[address][{index, subindex}] = value;
}

std::uint32_t VorlanePeer::parameter(std::uint32_t address, std::uint16_t index, std::uint16_t subindex)
{
    std::lock_guard<std::mutex> lock(m);
    return drives[address][{index, subindex}];
}

void VorlanePeer::setFault(Fault f)
{
    std::lock_guard<std::mutex> lock(m);
    fault = f;
}

std::vector<std::string> VorlanePeer::telegrams()
{
    std::lock_guard<std::mutex> lock(m);
    return seen;
}

void VorlanePeer::clearTelegrams()
{
    std::lock_guard<std::mutex> lock(m);
    seen.clear();
}

} // namespace kavreltest
