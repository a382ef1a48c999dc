#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "automation/HResult.h"

namespace Kavrel {
class CCommunicationManager;
class CFieldbusInterface;
class IFieldbusDevice;
} // namespace Kavrel

namespace kavrelcli {

// How a command reaches its drives, from the flags every bus command shares.
struct ConnectionOptions {
    std::string protocol;
    std::string host, tcpPort;
    std::string serial, baud, format;
    // CANopen: the bus endpoint HOST:PORT/BUS and the adapter kind (peak or ixxat).
    std::string can, adapter;
    // Show the library's own dialogs in the terminal instead of taking the flags only.
    bool dialog = false;
};

void addConnectionOptions(CLI::App* command, ConnectionOptions& options, Context& ctx, const std::string& jsonHelp);

// One command's use of the automation layer: the manager, one interface set up from
// the flags (or the dialogs), the devices connected through it. Failures are
// reported as the CLI's error document; the returned value is the exit status.
class HostSession {
public:
    HostSession(const Context& ctx, ConnectionOptions options);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Makes the interface (the network-scan kind for a scan, where the protocol has one)
    // and applies the flags; with --dialog, shows the parameter dialog as well.
    bool open(bool forScan);
    // Connects one drive; the session keeps it until it ends.
    bool connect(std::uint32_t id, std::shared_ptr<Kavrel::IFieldbusDevice>& device);

    Kavrel::CFieldbusInterface& bus() const { return *fieldbusInterface; }
    const ConnectionOptions& connection() const { return options; }
    // A setting of the interface by name ("ScanBounds", "Baudrates", ...), empty when unknown.
    std::string setting(const std::string& key) const;
    // Sets one (an empty value leaves it); a refused value is a usage error with the text
    // given, or the library's own when none is given.
    bool set(const std::string& key, const std::string& value, const std::string& refused = {});

    // The error document for hr with the calling thread's error information (or the text given).
    int fail(Kavrel::HRESULT hr, const std::string& text = {}) const;
    int fail(const std::string& text) const;
    // A flag the command cannot run with (exit status 2).
    int usage(const std::string& text) const;
    // The exit status of the last failure or usage error, or 0.
    int status() const { return exitStatus; }

private:
    bool chooseProtocol();

    const Context& ctx;
    ConnectionOptions options;
    std::shared_ptr<Kavrel::CCommunicationManager> manager;
    std::shared_ptr<Kavrel::CFieldbusInterface> fieldbusInterface;
    std::vector<std::shared_ptr<Kavrel::IFieldbusDevice>> devices;
    mutable int exitStatus = 0;
};

} // namespace kavrelcli
