#include <iostream>

#include "Commands.h"
#include "Json.h"
#include "core/CommunicationManager.h"
#include "core/HardwareInterfaceLister.h"
#include "hardware/HardwareInterfaceIxxatCan.h"
#include "hardware/HardwareInterfacePeakCan.h"
#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"
#include "protocols/FieldbusProtocol.h"

namespace kavrelcli {

namespace {

int listProtocols(const Context& ctx, bool scan)
{
    auto names = scan ? Kavrel::FieldbusProtocol::getNetworkscanProtocols()
                      : Kavrel::FieldbusProtocol::getKnownProtocols();
    printResult(ctx, Json::Object().addRaw("protocols", Json::stringArray(names)).str(), names);
    return 0;
}

int showVersion(const Context& ctx)
{
    std::string version = Kavrel::CommunicationManager::getInstance().getVersionString();
    printResult(ctx, Json::Object().add("version", version).add("module", Kavrel::CommunicationManager::getModuleFolder())
                         .add("language", Kavrel::CommunicationManager::getLanguageCode()).str(),
                {version});
    return 0;
}

int listPorts(const Context& ctx)
{
    std::vector<std::string> items;
    std::vector<std::string> lines;
    for (const auto& port : Kavrel::HardwareInterfaceSerialPort_Enumerator::enumerate()) {
        items.push_back(Json::Object().add("path", port.path).addNumber("number", port.number).str());
        lines.push_back(port.path + " (" + std::to_string(port.number) + ")");
    }
    if (lines.empty())
        lines.push_back("no serial ports found");
    // CAN adapters of the endpoints in KAVREL_CAN, PEAK first, as an interface lists them.
    Kavrel::HardwareInterfaceList adapters;
    Kavrel::listHardwareInterfaces<Kavrel::HardwareInterfacePeakCan>(adapters, "the PEAK CAN adapter");
    Kavrel::listHardwareInterfaces<Kavrel::HardwareInterfaceIxxatCan>(adapters, "the IXXAT CAN adapter");
    std::vector<std::string> canItems;
    for (const auto& adapter : adapters) {
        canItems.push_back(Json::Object()
                               .add("name", adapter->getName())
                               .add("open", adapter->getNameToOpen())
                               .addNumber("interfaceId", adapter->getNumber())
                               .str());
        lines.push_back(adapter->getNameToOpen() + " (InterfaceID " + std::to_string(adapter->getNumber()) + ")");
    }
    printResult(ctx,
                Json::Object().addRaw("ports", Json::array(items)).addRaw("can", Json::array(canItems)).str(),
                lines);
    return 0;
}

} // namespace

void registerInfoCommands(CLI::App& app, Context& ctx)
{
    auto* protocols = app.add_subcommand("protocols", "List the protocols offered");
    auto scan = std::make_shared<bool>(false);
    protocols->add_flag("--scan", *scan, "Only the protocols that support a network scan");
    protocols->add_flag("--json", ctx.json, "Print one JSON document");
    protocols->callback([&ctx, scan] { ctx.action = [&ctx, scan] { return listProtocols(ctx, *scan); }; });

    auto* ports = app.add_subcommand("ports", "List the serial ports and the CAN adapters (of KAVREL_CAN)");
    ports->add_flag("--json", ctx.json, "Print one JSON document");
    ports->callback([&ctx] { ctx.action = [&ctx] { return listPorts(ctx); }; });

    auto* version = app.add_subcommand("version", "Show the library version");
    version->add_flag("--json", ctx.json, "Print one JSON document");
    version->callback([&ctx] { ctx.action = [&ctx] { return showVersion(ctx); }; });
}

} // namespace kavrelcli
