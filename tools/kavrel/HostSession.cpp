#include "HostSession.h"

#include <cstdlib>
#include <iostream>

#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "automation/IFieldbusDevice.h"
#include "automation/InterfaceSettings.h"
#include "dialogs/DialogBackend.h"
#include "dialogs/TerminalDialogBackend.h"

namespace kavrelcli {

namespace {

constexpr Kavrel::HRESULT errorGeneric = Kavrel::E_FAIL;

const char* const offeredProtocols[] = {"ModbusTCP", "ModbusRS485", "VorlaneRS485", "CanOpen_QTA", "CanOpen_KVX"};

bool isCan(const std::string& protocol)
{
    return protocol.rfind("CanOpen_", 0) == 0;
}

// The adapters list the endpoints of KAVREL_CAN when the interface is made;
// the one given on the command line joins them.
void offerCanEndpoint(const std::string& endpoint)
{
    std::string endpoints = endpoint;
    if (const char* known = std::getenv("KAVREL_CAN"); known && *known) {
        const std::string list = known;
        if (("," + list + ",").find("," + endpoint + ",") != std::string::npos)
            return;
        endpoints += "," + list;
    }
    ::setenv("KAVREL_CAN", endpoints.c_str(), 1);
}

bool offered(const std::string& protocol)
{
    for (const char* name : offeredProtocols)
        if (protocol == name)
            return true;
    return false;
}

} // namespace

void addConnectionOptions(CLI::App* command, ConnectionOptions& options, Context& ctx, const std::string& jsonHelp)
{
    command->add_option("--protocol", options.protocol,
                        "ModbusTCP, ModbusRS485, VorlaneRS485, CanOpen_QTA or CanOpen_KVX (--dialog: chosen there)");
    command->add_option("--host", options.host, "IPv4 address of the drives (ModbusTCP)");
    command->add_option("--tcp-port", options.tcpPort, "TCP port of the drives (ModbusTCP)");
    command->add_option("--serial", options.serial, "Serial port path (ModbusRS485, VorlaneRS485)");
    command->add_option("--baud", options.baud, "Baud rate (ModbusRS485, VorlaneRS485; CAN: 125k, 250k, 500k or AUTO)");
    command->add_option("--can", options.can, "CAN bus endpoint HOST:PORT/BUS of a socketcand server (CanOpen_*)");
    command->add_option("--adapter", options.adapter, "CAN adapter library: peak (default) or ixxat")
        ->check(CLI::IsMember({"peak", "ixxat"}));
    command->add_option("--format", options.format, "Character format, e.g. E,8,1 (ModbusRS485)");
    command->add_flag("--dialog", options.dialog, "Show the library's dialogs in this terminal");
    command->add_flag("--json", ctx.json, jsonHelp);
}

HostSession::HostSession(const Context& ctx_, ConnectionOptions options_)
    : ctx(ctx_), options(std::move(options_)), manager(Kavrel::CCommunicationManager::create())
{
    if (options.dialog)
        commonbase::DialogBackend::set(std::make_shared<Kavrel::TerminalDialogBackend>());
}

HostSession::~HostSession()
{
    // Devices leave the interface before it goes; releasing it stops its workers.
    devices.clear();
    fieldbusInterface.reset();
    if (options.dialog)
        commonbase::DialogBackend::set(nullptr);
}

int HostSession::usage(const std::string& text) const
{
    exitStatus = exitUsage;
    return reportUsage(ctx, text);
}

int HostSession::fail(Kavrel::HRESULT hr, const std::string& text) const
{
    exitStatus = exitFailure;
    std::string shown = text;
    if (shown.empty()) {
        const auto& info = Kavrel::lastErrorInfo();
        shown = info.code == hr ? info.description : Kavrel::ErrorInfo::textFor(hr);
    }
    return reportFailure(ctx, static_cast<std::uint32_t>(hr), shown);
}

int HostSession::fail(const std::string& text) const
{
    return fail(errorGeneric, text);
}

bool HostSession::chooseProtocol()
{
    if (options.protocol.empty() && options.dialog) {
        std::string chosen;
        if (Kavrel::FAILED(manager->displaySelectProtocolDialog("", chosen)) || chosen.empty()) {
            fail(Kavrel::kavrelError(0x403), "no protocol was chosen");
            return false;
        }
        options.protocol = chosen;
    }
    if (options.protocol.empty()) {
        usage("--protocol is required (or --dialog, to choose it in a dialog)");
        return false;
    }
    if (!offered(options.protocol)) {
        usage("--protocol must be ModbusTCP, ModbusRS485, VorlaneRS485, CanOpen_QTA or CanOpen_KVX, not '" +
              options.protocol + "'");
        return false;
    }
    manager->put_protocolname(options.protocol);
    return true;
}

bool HostSession::set(const std::string& key, const std::string& value, const std::string& refused)
{
    if (value.empty())
        return true;
    if (Kavrel::FAILED(Kavrel::InterfaceSettings::set(*fieldbusInterface, key, value))) {
        usage(refused.empty() ? Kavrel::lastErrorInfo().description : refused);
        return false;
    }
    return true;
}

bool HostSession::open(bool forScan)
{
    if (!chooseProtocol())
        return false;
    if (options.protocol != "ModbusTCP" && !options.serial.empty()) {
        // The port list is read when the interface is made.
        std::string ports = options.serial;
        if (const char* known = std::getenv("KAVREL_SERIAL_PORTS"); known && *known)
            ports += std::string(",") + known;
        ::setenv("KAVREL_SERIAL_PORTS", ports.c_str(), 1);
    }
    const bool can = isCan(options.protocol);
    if (!can && (!options.can.empty() || !options.adapter.empty()))
        return fail("--can and --adapter are for CanOpen_QTA and CanOpen_KVX"), false;
    if (can && (!options.serial.empty() || !options.host.empty() || !options.tcpPort.empty() || !options.format.empty()))
        return fail(options.protocol + " takes --can, --adapter and --baud"), false;
    if (can && !options.can.empty())
        offerCanEndpoint(options.can);
    std::shared_ptr<Kavrel::IFieldbusInterface> made;
    // Modbus TCP has no network-scan interface kind; its ordinary one scans as well.
    const Kavrel::HRESULT hr = forScan && options.protocol != "ModbusTCP"
                                   ? manager->create_emptyNetworkScanFieldbusInterface(made)
                                   : manager->create_emptyFieldbusInterface(made);
    fieldbusInterface = std::dynamic_pointer_cast<Kavrel::CFieldbusInterface>(made);
    if (Kavrel::FAILED(hr) || !fieldbusInterface) {
        fail(Kavrel::FAILED(hr) ? hr : Kavrel::CCommunicationManager::errorNoInterface,
             "the " + options.protocol + " interface could not be made");
        return false;
    }
    const bool tcp = options.protocol == "ModbusTCP";
    if (tcp && !options.serial.empty())
        return usage("--serial is for the serial protocols; ModbusTCP takes --host and --tcp-port"), false;
    if (!tcp && (!options.host.empty() || !options.tcpPort.empty()))
        return usage("--host and --tcp-port are for ModbusTCP; " + options.protocol + " takes --serial"), false;
    if (!set("IpAddress", options.host, "--host '" + options.host + "' is not a dotted IPv4 address") ||
        !set("EthernetPort", options.tcpPort, "--tcp-port '" + options.tcpPort + "' is not a port number 1..65535") ||
        !set("Port", options.serial, "serial port '" + options.serial + "' is not offered") ||
        !set("Port", can && !options.can.empty() ? (options.adapter.empty() ? "peak" : options.adapter) + ":" + options.can
                                                 : std::string(),
             "no " + (options.adapter.empty() ? std::string("peak") : options.adapter) + " CAN adapter for '" +
                 options.can + "' (is its library beside libkavrel.so?)") ||
        !set("Baudrate", options.baud,
               "--baud '" + options.baud + "' is not offered (" + setting("Baudrates") + ")"))
        return false;
    if (!options.format.empty() && tcp)
        return usage("--format is for the serial protocols"), false;
    if (!set("Format", options.format,
               "--format '" + options.format + "' is not offered (" +
                   setting("Formats") + ")"))
        return false;
    if (options.dialog) {
        // The flags given are the dialog's starting values.
        fieldbusInterface->put_forceShowDialog(1);
        const Kavrel::HRESULT shown = fieldbusInterface->setCommunicationParameters();
        if (Kavrel::FAILED(shown))
            return fail(shown), false;
    }
    // Nothing else may wait for a user in a command-line run.
    fieldbusInterface->put_dontShowDialog(1);
    fieldbusInterface->put_forceShowDialog(0);
    return true;
}

bool HostSession::connect(std::uint32_t id, std::shared_ptr<Kavrel::IFieldbusDevice>& device)
{
    const Kavrel::HRESULT hr = fieldbusInterface->connectDeviceWithId(static_cast<std::int32_t>(id), device);
    // Refused before anything was sent: the --id given is not one this bus can address.
    if (hr == Kavrel::kavrelError(0x40e)) {
        usage(Kavrel::lastErrorInfo().description);
        return false;
    }
    if (Kavrel::FAILED(hr) || !device) {
        fail(Kavrel::FAILED(hr) ? hr : errorGeneric);
        return false;
    }
    devices.push_back(device);
    return true;
}

std::string HostSession::setting(const std::string& key) const
{
    std::string value;
    if (!fieldbusInterface || Kavrel::FAILED(Kavrel::InterfaceSettings::get(*fieldbusInterface, key, value)))
        return {};
    return value;
}

} // namespace kavrelcli
