#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

namespace fs = std::filesystem;

namespace {

// The trailing decimal digits of a name, 0 when there are none (or too many).
std::uint32_t trailingNumber(const std::string& name)
{
    std::size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (start == name.size() || name.size() - start > 6)
        return 0;
    return static_cast<std::uint32_t>(std::stoul(name.substr(start)));
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool onlyDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void addUnique(std::vector<std::string>& paths, const std::string& path)
{
    if (path.empty() || onlyDigits(path))
        return;
    if (std::find(paths.begin(), paths.end(), path) == paths.end())
        paths.push_back(path);
}

// Method 1: ttys that have a real device behind them.
void listSysfs(std::vector<std::string>& paths)
{
    commonbase::Dbg dbg(0, __FILE__, "HardwareInterfaceSerialPort_Enumerator::getAvailableInterfacesMethod1");
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it("/sys/class/tty", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        if (!fs::exists(it->path() / "device", linkError))
            continue;
        const std::string name = it->path().filename().string();
        found.push_back("/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    for (const auto& path : found)
        addUnique(paths, path);
}

// Method 2: the usual device names.
void listDev(std::vector<std::string>& paths)
{
    commonbase::Dbg dbg(0, __FILE__, "HardwareInterfaceSerialPort_Enumerator::getAvailableInterfacesMethod2");
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it("/dev", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (startsWith(name, "ttyS") || startsWith(name, "ttyUSB") || startsWith(name, "ttyACM"))
            found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    for (const auto& path : found)
        addUnique(paths, path);
}

} // namespace

std::uint32_t HardwareInterfaceSerialPort_Enumerator::numberFor(const std::string& path,
                                                               const std::set<std::uint32_t>& taken)
{
    const std::string name = fs::path(path).filename().string();
    std::uint32_t base = 3000;
    if (startsWith(path, "/dev/ttyUSB"))
        base = 1000;
    else if (startsWith(path, "/dev/ttyACM"))
        base = 2000;
    else if (startsWith(path, "/dev/ttyS"))
        base = 0;
    std::uint32_t number = base + trailingNumber(name);
    while (taken.count(number) != 0)
        ++number;
    return number;
}

std::vector<SerialPortEntry> HardwareInterfaceSerialPort_Enumerator::enumerate()
{
    commonbase::Dbg dbg(0, __FILE__, "enumerate");
    std::vector<std::string> paths;
    if (const char* extra = std::getenv("KAVREL_SERIAL_PORTS")) {
        std::string list = extra;
        std::size_t from = 0;
        while (from <= list.size()) {
            std::size_t comma = list.find(',', from);
            if (comma == std::string::npos)
                comma = list.size();
            addUnique(paths, commonbase::trim(list.substr(from, comma - from)));
            from = comma + 1;
        }
    }
    const std::size_t extraCount = paths.size();
    listSysfs(paths);
    if (paths.size() == extraCount)
        listDev(paths);

    std::vector<SerialPortEntry> entries;
    std::set<std::uint32_t> taken;
    for (const auto& path : paths) {
        const std::uint32_t number = numberFor(path, taken);
        taken.insert(number);
        entries.push_back({path, number});
        commonbase::DbgInfo(0, __FILE__, commonbase::cat("serial port ", path, " number ", number));
    }
    return entries;
}

std::int32_t HardwareInterfaceSerialPort_Enumerator::getAvailableInterfaces(std::vector<SerialPortEntry>& ports) const
{
    commonbase::Dbg dbg(0, __FILE__, "HardwareInterfaceSerialPort_Enumerator::getAvailableInterfaces");
    ports = enumerate();
    return ports.empty() ? -1 : static_cast<std::int32_t>(ports.size());
}

} // namespace Kavrel
