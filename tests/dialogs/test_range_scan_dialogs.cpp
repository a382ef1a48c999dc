// The range dialog's validation, the scan progress dialog on the host's event
// queue and the protocol selection.
#include <gtest/gtest.h>

#include <unistd.h>

#include "DialogTestSupport.h"
#include "automation/CCommunicationManager.h"
#include "commonbase/HostEventLoop.h"
#include "dialogs/RangeDialog.h"
#include "dialogs/ScanProgressDialog.h"
#include "dialogs/ScriptedDialogBackend.h"
#include "dialogs/SelectProtocolDialog.h"
#include "dialogs/TerminalDialogBackend.h"
#include "protocols/FieldbusProtocol.h"

using dialogtest::BackendScope;
using dialogtest::SettingsFile;
using dialogtest::WithPorts;
using Kavrel::ScriptedDialogBackend;
using Rs485 = WithPorts<Kavrel::FieldbusInterfaceModbusRs485>;

namespace {

std::shared_ptr<ScriptedDialogBackend> script(const std::string& text)
{
    auto backend = std::make_shared<ScriptedDialogBackend>();
    std::string error;
    EXPECT_TRUE(backend->parse(text, error)) << error;
    return backend;
}

} // namespace

TEST(RangeDialog, TextsWithinTheBoundsPassOthersEndWithCancel)
{
    const std::string longValid = [] {
        std::string s = "1-3";
        while (s.size() < 255)
            s += ",9";
        return s.substr(0, 255);
    }();
    struct Case {
        std::string text;
        std::int32_t code;  // what editScanRange returns
        std::string range;  // the scan range afterwards
    };
    const std::uint32_t cancelled = 0x80040403u;
    const std::vector<Case> cases = {
        {"1-5,7", 0, "1-5,7"},
        {" 3 ", 0, "3"},
        {"247", 0, "247"},
        {"0", static_cast<std::int32_t>(cancelled), "1-247"},
        {"248", static_cast<std::int32_t>(cancelled), "1-247"},
        {"5-3", static_cast<std::int32_t>(cancelled), "1-247"},
        {"1-300", static_cast<std::int32_t>(cancelled), "1-247"},
        {"a-b", static_cast<std::int32_t>(cancelled), "1-247"},
        {"", static_cast<std::int32_t>(cancelled), "1-247"},
        {",", static_cast<std::int32_t>(cancelled), "1-247"},
        {longValid, 0, longValid},
        // Read with a limit of 255 characters: what lies beyond is not seen.
        {longValid + "x", 0, longValid},
    };
    for (const bool scripted : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE((scripted ? "scripted '" : "headless '") + c.text.substr(0, 20) + "'");
            SettingsFile settings;
            Rs485 fieldbus("ModbusRS485", true);
            std::shared_ptr<ScriptedDialogBackend> backend;
            if (scripted)
                backend = script("216 261=" + (c.text.find(' ') == std::string::npos ? c.text : "3") + " ok");
            BackendScope scope(backend);
            std::string text = scripted ? std::string("1") : c.text;
            EXPECT_EQ(fieldbus.editScanRange(text), c.code);
            EXPECT_EQ(fieldbus.getScanRange(), c.range);
            if (c.code == 0) {
                EXPECT_EQ(settings.keys("ModbusRS485_NetworkScan")["ScanRange"], c.range);
            }
            if (scripted && c.code != 0) {
                // The message line named the limits before the script gave up.
                const auto shown = backend->transcript();
                ASSERT_EQ(shown.size(), 1u);
                EXPECT_NE(shown[0].status.find("1-247"), std::string::npos) << shown[0].status;
            }
        }
    }
}

TEST(RangeDialog, MessageLineIsTranslatedAndTheDialogStaysOpenOnABadText)
{
    for (const std::string language : {"EN", "DE"}) {
        Rs485 fieldbus("VorlaneRS485", false);
        Kavrel::RangeDialog dialog(&fieldbus);
        dialog.setTranslationDocument(dialogtest::dictionary(language));
        dialog.setRangeText("1");
        dialog.OnInitDialog();
        EXPECT_EQ(dialog.itemGetText(Kavrel::RangeDialog::idRangeEdit), "1");
        EXPECT_EQ(dialog.findControl(Kavrel::RangeDialog::idRangeEdit)->limit, 255u);
        dialog.setControlValue(Kavrel::RangeDialog::idRangeEdit, "32");
        dialog.onCommand(1);
        EXPECT_FALSE(dialog.isEnded());
        const std::string message = dialog.itemGetText(Kavrel::RangeDialog::idMessage);
        EXPECT_EQ(message, dialog.translate("LABEL_RANGEERROR") + " 1-31");
        EXPECT_EQ(message.rfind(language == "EN" ? "The address range" : "Der Adressbereich", 0), 0u) << message;
        dialog.setControlValue(Kavrel::RangeDialog::idRangeEdit, "31");
        dialog.onCommand(1);
        EXPECT_TRUE(dialog.isEnded());
        EXPECT_EQ(dialog.getResult(), 1);
        EXPECT_EQ(dialog.getRangeText(), "31");
    }
}

TEST(ScanProgressDialog, StepsAdvanceTheBarAndNameEachId)
{
    for (const std::string language : {"EN", "DE"}) {
        SCOPED_TRACE(language);
        Rs485 fieldbus("ModbusRS485", true);
        ASSERT_EQ(fieldbus.setScanRange("1-4"), 0);
        auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
        dialog->setTranslationDocument(dialogtest::dictionary(language));
        dialog->OnInitDialog();
        EXPECT_EQ(dialog->itemGetText(264), language == "EN" ? "Initializing" : "Initialisierung");
        EXPECT_EQ(dialog->getStepsTotal(), 4);
        fieldbus.addScanObserver(dialog);
        fieldbus.networkScanStepped(1, 0);
        fieldbus.networkScanStepped(2, 1);
        fieldbus.networkScanStepped(3, 0);
        EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return dialog->getStepsDone() == 3; },
                                                    std::chrono::seconds(2)));
        EXPECT_EQ(dialog->findControl(263)->position, 75);
        EXPECT_EQ(dialog->itemGetText(264), language == "EN" ? "Modbus RS485 ID 3 not found"
                                                             : "Modbus RS485 ID 3 nicht gefunden");
        EXPECT_FALSE(dialog->isEnded());
        fieldbus.networkScanStepped(4, 1);
        fieldbus.networkScanFinished();
        EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return dialog->isEnded(); }, std::chrono::seconds(2)));
        EXPECT_EQ(dialog->getResult(), 1);
        EXPECT_EQ(dialog->findControl(263)->position, 100);
        EXPECT_EQ(dialog->itemGetText(264), language == "EN" ? "Modbus RS485 ID 4 found" : "Modbus RS485 ID 4 gefunden");
        fieldbus.removeScanObserver(dialog.get());
    }
}

TEST(ScanProgressDialog, ShownItStartsTheScanAndUnregistersWhenItCloses)
{
    SettingsFile settings;
    Rs485 fieldbus("ModbusRS485", true);
    ASSERT_EQ(fieldbus.setScanRange("1-3"), 0);
    // A window that records what reaches the observers after the dialog closed.
    struct Counter : commonbase::MessageWindow {
        int messages = 0;
        void handleMessage(std::uint32_t, std::int32_t, std::int32_t) override { ++messages; }
    };
    std::weak_ptr<Kavrel::ScanProgressDialog> gone;
    {
        auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
        dialog->setHeadlessTimeout(std::chrono::seconds(30));
        gone = dialog;
        const std::int32_t result = dialog->displayDialog(5);
        if (dialog->getScanResult() != 0) {
            // The scan could not start: cancel, and the code is kept.
            EXPECT_EQ(result, 2);
            EXPECT_EQ(static_cast<std::uint32_t>(dialog->getScanResult()), 0x8004040cu);
        } else {
            // No hardware answers: three misses, then the finished notice ends it with OK.
            EXPECT_EQ(result, 1);
            EXPECT_EQ(dialog->getStepsDone(), 3);
            EXPECT_EQ(dialog->findControl(263)->position, 100);
        }
    }
    EXPECT_TRUE(gone.expired());
    // It unregistered: a later notice reaches only the observers still there.
    auto counter = std::make_shared<Counter>();
    fieldbus.addScanObserver(counter);
    fieldbus.networkScanFinished();
    commonbase::HostEventLoop::runUntil([&] { return counter->messages == 1; }, std::chrono::seconds(2));
    EXPECT_EQ(counter->messages, 1);
    fieldbus.removeScanObserver(counter.get());
}

TEST(ScanProgressDialog, ScriptedCancelStopsTheScan)
{
    Rs485 fieldbus("ModbusRS485", true);
    ASSERT_EQ(fieldbus.setScanRange("1-200"), 0);
    auto backend = script("217 wait=50 cancel");
    BackendScope scope(backend);
    auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
    EXPECT_EQ(dialog->displayDialog(5), 2);
    EXPECT_LT(dialog->getStepsDone(), 200);
    // Whatever the scan did, no worker is left running on this interface.
    EXPECT_NE(static_cast<std::uint32_t>(fieldbus.startNetworkScan()), 0x8004040bu);
    fieldbus.stopNetworkScan();
}

TEST(SelectProtocolDialog, RowsInListOrderTranslatedAndTheChoiceReturned)
{
    const auto known = Kavrel::FieldbusProtocol::getKnownProtocols();
    for (const std::string language : {"EN", "DE"}) {
        // The dictionary by its file, or by the folder that holds it.
        Kavrel::SelectProtocolDialog dialog(kavreltest::libDir() + "/xml/" + language +
                                            (language == "EN" ? "/Tesvik_Trans.xml" : ""));
        dialog.setCurrentProtocol("VorlaneRS485");
        dialog.OnInitDialog();
        const auto* list = dialog.findControl(Kavrel::SelectProtocolDialog::idList);
        ASSERT_EQ(list->entries.size(), known.size());
        for (std::size_t i = 0; i < known.size(); ++i) {
            EXPECT_EQ(list->entries[i].second, known[i]);
            EXPECT_EQ(list->entries[i].first, dialog.translate("LABEL_" + known[i]));
        }
        EXPECT_EQ(dialog.comboSelectedItemData(280), "VorlaneRS485");
        EXPECT_EQ(dialog.windowGetTitle(), language == "EN" ? "Select a protocol" : "Protokoll auswählen");
    }
    {
        auto backend = script("234 280=ModbusTCP ok");
        BackendScope scope(backend);
        Kavrel::SelectProtocolDialog dialog;
        EXPECT_EQ(dialog.displayDialog(5), 1);
        EXPECT_EQ(dialog.getSelectedProtocol(), "ModbusTCP");
    }
    {
        // Nothing selected: OK is refused, the script's dialog ends with cancel.
        auto backend = script("234 ok");
        BackendScope scope(backend);
        Kavrel::SelectProtocolDialog dialog;
        dialog.setCurrentProtocol("");
        EXPECT_EQ(dialog.displayDialog(5), 2);
        EXPECT_EQ(dialog.getSelectedProtocol(), "");
    }
    {
        auto backend = script("234 280=NoSuchBus ok");
        BackendScope scope(backend);
        Kavrel::SelectProtocolDialog dialog;
        EXPECT_EQ(dialog.displayDialog(5), 2);
    }
    {
        // A missing translation file falls back to the module's dictionary.
        Kavrel::SelectProtocolDialog dialog("/nonexistent/Tesvik_Trans.xml");
        dialog.OnInitDialog();
        EXPECT_EQ(dialog.findControl(280)->entries.size(), known.size());
    }
}

TEST(SelectProtocolDialog, TheHostChoosesThroughTheManagerObject)
{
    auto manager = Kavrel::CCommunicationManager::create();
    std::string name = "unchanged";
    // Headless: not confirmed, the name is left alone.
    EXPECT_EQ(static_cast<std::uint32_t>(manager->displaySelectProtocolDialog("", name)), 0x80004005u);
    EXPECT_EQ(name, "unchanged");
    {
        auto backend = script("234 280=DeviceNetCan ok\n234 cancel");
        BackendScope scope(backend);
        EXPECT_EQ(manager->displaySelectProtocolDialog(kavreltest::libDir() + "/xml/DE", name), 0);
        EXPECT_EQ(name, "DeviceNetCan");
        EXPECT_EQ(backend->transcript().back().title, "Protokoll auswählen");
        EXPECT_EQ(static_cast<std::uint32_t>(manager->displaySelectProtocolDialog("", name)), 0x80004005u);
        EXPECT_EQ(name, "DeviceNetCan");
    }
}

TEST(TerminalDialogBackend, WithoutATerminalTheDialogCannotBeShown)
{
    if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO))
        GTEST_SKIP() << "runs on a terminal; the tmux script covers that case";
    Rs485 fieldbus("ModbusRS485", false);
    BackendScope scope(std::make_shared<Kavrel::TerminalDialogBackend>());
    EXPECT_EQ(static_cast<std::uint32_t>(fieldbus.initialize(0)), 0x8004040au);
    std::string text = "1-3";
    EXPECT_EQ(static_cast<std::uint32_t>(fieldbus.editScanRange(text)), 0x80040403u);
    // A progress dialog nobody can see does not leave its scan running.
    Rs485 scanning("ModbusRS485", true);
    auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&scanning);
    EXPECT_EQ(dialog->displayDialog(5), 2);
    EXPECT_NE(static_cast<std::uint32_t>(scanning.startNetworkScan()), 0x8004040bu);
    scanning.stopNetworkScan();
}
