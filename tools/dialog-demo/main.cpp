// Shows one of the library's dialogs and prints what it left behind: the
// terminal backend by default, a scripted one with --script FILE.
//
//   kavrel-dialog-demo [--data-path DIR] [--script FILE] parameter PROTOCOL [--scan]
//   kavrel-dialog-demo [--data-path DIR] [--script FILE] range PROTOCOL [--text RANGE]
//   kavrel-dialog-demo [--data-path DIR] [--script FILE] protocol
//   kavrel-dialog-demo [--data-path DIR] [--script FILE] scan PROTOCOL [--text RANGE]
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/SerialFrameFormat.h"
#include "dialogs/DialogBackend.h"
#include "dialogs/ParameterDialogBase.h"
#include "dialogs/RangeDialog.h"
#include "dialogs/ScanProgressDialog.h"
#include "dialogs/ScriptedDialogBackend.h"
#include "dialogs/SelectProtocolDialog.h"
#include "dialogs/TerminalDialogBackend.h"

namespace {

int usage()
{
    std::cerr << "usage: kavrel-dialog-demo [--data-path DIR] [--script FILE] "
                 "parameter PROTOCOL [--scan] | range PROTOCOL [--text RANGE] | protocol | scan PROTOCOL [--text RANGE]\n";
    return 2;
}

void printSettings(Kavrel::FieldbusInterface& fieldbus)
{
    std::cout << "Baudrate=" << fieldbus.getBaudrateText() << "\n"
              << "InterfaceIndex=" << fieldbus.getInterfaceIndex() << "\n";
    if (!fieldbus.isNetworkScan())
        std::cout << "DeviceAddress=" << fieldbus.getDeviceAddress() << "\n"
                  << "NodeGuard/Enabled=" << fieldbus.getNodeGuardEnabled() << "\n"
                  << "NodeGuard/Interval=" << fieldbus.getNodeGuardInterval() / 1000 << "\n"
                  << "DontShow=" << fieldbus.getDontShowDialog() << "\n";
    if (auto* format = fieldbus.getSerialFrameFormat())
        std::cout << "Format=" << format->getFormat() << "\n";
    if (auto* tcp = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(&fieldbus))
        std::cout << "IpAddress=" << tcp->getIpAddress() << "\n"
                  << "EthernetPort=" << tcp->getEthernetPort() << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string dataPath, scriptFile, rangeText;
    bool scan = false;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--data-path" || a == "--script" || a == "--text") && i + 1 < args.size()) {
            (a == "--data-path" ? dataPath : a == "--script" ? scriptFile : rangeText) = args[++i];
        } else if (a == "--scan") {
            scan = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            words.push_back(a);
        }
    }
    if (words.empty())
        return usage();

    if (scriptFile.empty()) {
        commonbase::DialogBackend::set(std::make_shared<Kavrel::TerminalDialogBackend>());
    } else {
        std::ifstream in(scriptFile);
        std::stringstream text;
        text << in.rdbuf();
        auto scripted = std::make_shared<Kavrel::ScriptedDialogBackend>();
        std::string error;
        if (!in || !scripted->parse(text.str(), error)) {
            std::cerr << "script '" << scriptFile << "': " << (error.empty() ? "not readable" : error) << "\n";
            return 2;
        }
        commonbase::DialogBackend::set(scripted);
    }

    auto& manager = Kavrel::CommunicationManager::getInstance();
    if (!dataPath.empty())
        manager.setDataPath(dataPath);

    int result = 0;
    if (words[0] == "protocol") {
        Kavrel::SelectProtocolDialog dialog;
        result = dialog.displayDialog(5);
        std::cout << "result=" << result << "\nprotocol=" << dialog.getSelectedProtocol() << "\n";
    } else if ((words[0] == "parameter" || words[0] == "range" || words[0] == "scan") && words.size() == 2) {
        auto fieldbus = Kavrel::CommunicationManager::makeInterface(words[1], scan || words[0] != "parameter");
        if (!fieldbus) {
            std::cerr << "no interface for protocol '" << words[1] << "'\n";
            return 2;
        }
        if (words[0] == "parameter") {
            result = fieldbus->getParameterDialog()->displayDialog(1, 5);
            std::cout << "result=" << result << "\n";
            if (result == 1)
                fieldbus->writeSettings();
            printSettings(*fieldbus);
        } else if (words[0] == "scan") {
            if (!rangeText.empty() && fieldbus->setScanRange(rangeText) != 0) {
                std::cerr << "range '" << rangeText << "' is not valid\n";
                return 2;
            }
            auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(fieldbus.get());
            result = dialog->displayDialog(5);
            fieldbus->stopNetworkScan();
            std::cout << "result=" << result << "\nsteps=" << dialog->getStepsDone() << "/" << dialog->getStepsTotal()
                      << "\nscan=0x" << std::hex << static_cast<std::uint32_t>(dialog->getScanResult()) << std::dec
                      << "\ndevices=" << fieldbus->getNumberOfFieldbusDevices() << "\n";
        } else {
            std::string text = rangeText.empty() ? fieldbus->getScanRange() : rangeText;
            const std::int32_t code = fieldbus->editScanRange(text);
            std::cout << "code=0x" << std::hex << static_cast<std::uint32_t>(code) << std::dec << "\n"
                      << "range=" << fieldbus->getScanRange() << "\n";
            result = code == 0 ? 1 : 2;
        }
    } else {
        return usage();
    }
    commonbase::DialogBackend::set(nullptr);
    std::cout.flush();
    return result == 1 ? 0 : 1;
}
