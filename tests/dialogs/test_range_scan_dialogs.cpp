// The range dialog's validation, the scan progress dialog on the host's event
// queue and the protocol selection.
#include <gtest/gtest.h>

#include <unistd.h>

#include "DialogTestSupport.h"
#include "automation/CCommunicationManager.h"
#include "commonbase/HostEventLoop.h"
#include "dialogs/ScanProgressDialog.h"
#include "dialogs/SelectProtocolDialog.h"
#include "dialogs/TerminalDialogBackend.h"
#include "protocols/FieldbusProtocol.h"

using namespace dialogtest;
using Kavrel::SelectProtocolDialog;

TEST(RangeDialog, TextsWithinTheBoundsPassOthersEndWithCancel)
{
    std::string longValid = "1-3";
    while (longValid.size() < 255) longValid += ",9";
    longValid.resize(255);
    const std::int32_t cancelled = static_cast<std::int32_t>(0x80040403u);
    struct Case { std::string text; std::int32_t code; std::string range; } cases[] = { // range: the scan range afterwards
        {"1-5,7", 0, "1-5,7"}, {" 3 ", 0, "3"}, {"247", 0, "247"}, {"0", cancelled, "1-247"}, {"248", cancelled, "1-247"},
        {"5-3", cancelled, "1-247"}, {"1-300", cancelled, "1-247"}, {"a-b", cancelled, "1-247"}, {"", cancelled, "1-247"},
        {",", cancelled, "1-247"}, {longValid, 0, longValid},
        {longValid + "x", 0, longValid}}; // read with a limit of 255 characters: what lies beyond is not seen
    for (const bool scripted : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE((scripted ? "scripted '" : "headless '") + c.text.substr(0, 20) + "'");
            SettingsFile settings;
            Rs485 fieldbus("ModbusRS485", true);
            auto backend = scripted ? script("216 261=" + (c.text.find(' ') == std::string::npos ? c.text : "3") + " ok")
                                    : nullptr;
            BackendScope scope(backend);
            std::string text = scripted ? std::string("1") : c.text;
            EXPECT_EQ(fieldbus.editScanRange(text), c.code);
            EXPECT_EQ(fieldbus.getScanRange(), c.range);
            if (c.code == 0) { EXPECT_EQ(settings.keys("ModbusRS485_NetworkScan")["ScanRange"], c.range); }
            if (scripted && c.code != 0) {
                // The message line named the limits before the script gave up.
                ASSERT_EQ(backend->transcript().size(), 1u);
                EXPECT_NE(backend->transcript()[0].status.find("1-247"), std::string::npos) << backend->transcript()[0].status;
            }
        }
    }
}

TEST(ScanProgressDialog, StepsAdvanceTheBarAndNameEachId)
{
    for (const std::string language : {"EN", "DE"}) {
        SCOPED_TRACE(language);
        const bool en = language == "EN";
        Rs485 fieldbus("ModbusRS485", true);
        ASSERT_EQ(fieldbus.setScanRange("1-4"), 0);
        auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
        dialog->setTranslationDocument(dictionary(language));
        dialog->OnInitDialog();
        EXPECT_EQ(dialog->itemGetText(264), en ? "Initializing" : "Initialisierung");
        EXPECT_EQ(dialog->getStepsTotal(), 4);
        fieldbus.addScanObserver(dialog);
        for (int id = 1; id <= 3; ++id) fieldbus.networkScanStepped(id, id == 2);
        EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return dialog->getStepsDone() == 3; }, std::chrono::seconds(2)));
        EXPECT_EQ(dialog->findControl(263)->position, 75);
        EXPECT_EQ(dialog->itemGetText(264), en ? "Modbus RS485 ID 3 not found" : "Modbus RS485 ID 3 nicht gefunden");
        EXPECT_FALSE(dialog->isEnded());
        fieldbus.networkScanStepped(4, 1);
        fieldbus.networkScanFinished();
        EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return dialog->isEnded(); }, std::chrono::seconds(2)));
        EXPECT_EQ(std::make_pair(dialog->getResult(), dialog->findControl(263)->position), std::make_pair(1, 100));
        EXPECT_EQ(dialog->itemGetText(264), en ? "Modbus RS485 ID 4 found" : "Modbus RS485 ID 4 gefunden");
        fieldbus.removeScanObserver(dialog.get());
    }
}

TEST(ScanProgressDialog, ShownItStartsTheScanAndUnregistersWhenItCloses)
{
    SettingsFile settings;
    Rs485 fieldbus("ModbusRS485", true);
    ASSERT_EQ(fieldbus.setScanRange("1-3"), 0);
    std::weak_ptr<Kavrel::ScanProgressDialog> gone;
    {
        auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
        dialog->setHeadlessTimeout(std::chrono::seconds(30));
        gone = dialog;
        // No hardware answers: three misses, then the finished notice ends it with OK.
        EXPECT_EQ(dialog->displayDialog(5), 1);
        EXPECT_EQ((std::vector<std::int64_t>{dialog->getScanResult(), dialog->getStepsDone(), dialog->findControl(263)->position}),
                  (std::vector<std::int64_t>{0, 3, 100}));
    }
    EXPECT_TRUE(gone.expired());
    // It unregistered: a later notice reaches only the observers still there.
    struct Counter : commonbase::MessageWindow {
        int messages = 0;
        void handleMessage(std::uint32_t, std::int32_t, std::int32_t) override { ++messages; }
    };
    auto counter = std::make_shared<Counter>();
    fieldbus.addScanObserver(counter);
    fieldbus.networkScanFinished();
    commonbase::HostEventLoop::runUntil([&] { return counter->messages == 1; }, std::chrono::seconds(2));
    EXPECT_EQ(counter->messages, 1);
    fieldbus.removeScanObserver(counter.get());

    // A scripted cancel stops a long scan; no worker is left running on the interface.
    ASSERT_EQ(fieldbus.setScanRange("1-200"), 0);
    BackendScope scope(script("217 wait=50 cancel"));
    auto dialog = std::make_shared<Kavrel::ScanProgressDialog>(&fieldbus);
    EXPECT_EQ(dialog->displayDialog(5), 2);
    EXPECT_LT(dialog->getStepsDone(), 200);
    EXPECT_NE(static_cast<std::uint32_t>(fieldbus.startNetworkScan()), 0x8004040bu);
    fieldbus.stopNetworkScan();
}

TEST(SelectProtocolDialog, RowsInListOrderTranslatedAndTheChoiceReturned)
{
    const auto known = Kavrel::FieldbusProtocol::getKnownProtocols();
    // The dictionary by its file, or by the folder that holds it; a missing file falls back to the module's.
    for (const std::string file : {"EN/Tesvik_Trans.xml", "DE", "/nonexistent/Tesvik_Trans.xml"}) {
        SCOPED_TRACE(file);
        SelectProtocolDialog dialog(file[0] == '/' ? file : kavreltest::libDir() + "/xml/" + file);
        dialog.setCurrentProtocol("VorlaneRS485");
        dialog.OnInitDialog();
        const auto* list = dialog.findControl(SelectProtocolDialog::idList);
        ASSERT_EQ(list->entries.size(), known.size());
        for (std::size_t i = 0; i < known.size(); ++i) {
            EXPECT_EQ(list->entries[i].second, known[i]);
            EXPECT_EQ(list->entries[i].first, dialog.translate("LABEL_" + known[i]));
        }
        EXPECT_EQ(dialog.comboSelectedItemData(280), "VorlaneRS485");
        if (file[0] != '/') { EXPECT_EQ(dialog.windowGetTitle(), file == "DE" ? "Protokoll auswählen" : "Select a protocol"); }
    }
    // Nothing selected: OK is refused, the script's dialog ends with cancel.
    BackendScope scope(script("234 ok"));
    SelectProtocolDialog dialog;
    dialog.setCurrentProtocol("");
    EXPECT_EQ(dialog.displayDialog(5), 2);
    EXPECT_EQ(dialog.getSelectedProtocol(), "");
}

// The host chooses through the manager object; what is not confirmed leaves the name alone.
TEST(SelectProtocolDialog, TheHostChoosesThroughTheManagerObject)
{
    auto manager = Kavrel::CCommunicationManager::create();
    struct Case { const char* answer; const char* folder; std::uint32_t code; const char* name; } cases[] = {
        {nullptr, "", 0x80004005u, "unchanged"}, {"234 280=DeviceNetCan ok", "/xml/DE", 0, "DeviceNetCan"},
        {"234 cancel", "", 0x80004005u, "DeviceNetCan"}, {"234 280=NoSuchBus ok", "", 0x80004005u, "DeviceNetCan"},
        {"234 280=ModbusTCP ok", "", 0, "ModbusTCP"}};
    std::string name = "unchanged";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "headless");
        auto backend = c.answer ? script(c.answer) : nullptr;
        BackendScope scope(backend);
        EXPECT_EQ(static_cast<std::uint32_t>(manager->displaySelectProtocolDialog(*c.folder ? kavreltest::libDir() + c.folder : "", name)), c.code);
        EXPECT_EQ(name, c.name);
        if (*c.folder) { EXPECT_EQ(backend->transcript().back().title, "Protokoll auswählen"); }
    }
}

TEST(TerminalDialogBackend, WithoutATerminalTheDialogCannotBeShown)
{
    if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)) GTEST_SKIP() << "runs on a terminal; the tmux script covers that case";
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
