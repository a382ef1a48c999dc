// The templates as data, the choice of template per protocol and the
// translation of every visible text in both languages.
#include <gtest/gtest.h>

#include <set>

#include "DialogTestSupport.h"
#include "dialogs/AbstractDialog.h"
#include "dialogs/DialogTemplate.h"
#include "dialogs/ParameterDialogFactory.h"

using commonbase::AbstractDialog;
using commonbase::ControlKind;
using commonbase::DialogTemplate;

namespace {

struct Expected {
    int id;
    const char* title;
    // id -> kind, and the text key of captioned controls
    std::vector<std::tuple<int, ControlKind, std::string>> controls;
};

using K = ControlKind;

const std::vector<std::tuple<int, ControlKind, std::string>> nodeGuard = {
    {241, K::Group, "LABEL_NODEGUARD"}, {238, K::CheckBox, "LABEL_DEACTIVATE"},
    {235, K::Static, "LABEL_VALUE_SECONDS"}, {236, K::Edit, ""}, {249, K::Spin, ""}};

std::vector<Expected> expectedTemplates()
{
    auto with = [](std::vector<std::tuple<int, ControlKind, std::string>> a,
                   const std::vector<std::tuple<int, ControlKind, std::string>>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::tuple<int, ControlKind, std::string>> okCancel = {{1, K::Button, "OK"},
                                                                              {2, K::Button, "Abbrechen"}};
    const std::vector<std::tuple<int, ControlKind, std::string>> serial = {
        {233, K::Combo, ""}, {207, K::Combo, ""}, {243, K::Combo, ""}};
    const std::vector<std::tuple<int, ControlKind, std::string>> can = {{233, K::Combo, ""}, {207, K::Combo, ""}};
    const std::vector<std::tuple<int, ControlKind, std::string>> dnet = {
        {251, K::Static, "LABEL_CLIENT_MAC_ID"}, {252, K::Edit, ""}, {253, K::Spin, ""},
        {258, K::Static, "LABEL_DNC_START_TIMEOUT"}, {259, K::Edit, ""}, {260, K::Spin, ""},
        {261, K::Static, "LABEL_AUTOBAUD_RETRY"}, {262, K::Edit, ""}, {263, K::Spin, ""}};
    const std::vector<std::tuple<int, ControlKind, std::string>> dontShow = {{230, K::CheckBox, "LABEL_DONT_SHOW"}};
    return {
        {202, "LABEL_CONNECTION",
         with(with(with(with({{239, K::Group, "LABEL_SERIAL_PORT"}, {208, K::Static, "LABEL_COM_PORT"},
                              {209, K::Static, "LABEL_BAUDRATE"}, {242, K::Static, "LABEL_PARAMETER"},
                              {229, K::Static, "LABEL_MODBUS_ADDRESS"}, {255, K::Edit, ""}, {256, K::Spin, ""},
                              {247, K::Static, "LABEL_PROTOCOL"}, {248, K::Combo, ""}},
                             serial),
                        nodeGuard),
                   dontShow),
              okCancel)},
        {219, "LABEL_NETWORKSCAN", with(serial, okCancel)},
        {212, "LABEL_CONNECTION",
         with(with(with(with({{239, K::Group, "LABEL_SERIAL_PORT"}, {260, K::Static, "LABEL_DEVICE_ADDRESS"},
                              {255, K::Edit, ""}, {256, K::Spin, ""}},
                             serial),
                        nodeGuard),
                   dontShow),
              okCancel)},
        {221, "LABEL_NETWORKSCAN", with(serial, okCancel)},
        {230, "LABEL_CONNECTION",
         with(with(with(with({{257, K::Group, "LABEL_CAN_DONGLE"}, {232, K::Static, "LABEL_DONGLE_ID"},
                              {209, K::Static, "LABEL_BAUDRATE_CAN"}, {254, K::Static, "LABEL_DESTINATION_MAC_ID"},
                              {255, K::Edit, ""}, {256, K::Spin, ""}},
                             can),
                        nodeGuard),
                   dontShow),
              okCancel)},
        {232, "Dialog", with(can, okCancel)},
        {211, "LABEL_CONNECTION",
         with(with(with(with(with({{254, K::Static, "LABEL_DESTINATION_MAC_ID"}, {255, K::Edit, ""},
                                   {256, K::Spin, ""}},
                                  can),
                             dnet),
                        nodeGuard),
                   dontShow),
              okCancel)},
        {223, "LABEL_NETWORKSCAN", with(with(can, dnet), okCancel)},
        {237, "LABEL_CONNECTION",
         with(with(with({{282, K::Group, "LABEL_CONNECTION_DATA"}, {285, K::Static, "LABEL_IP_ADDRESS"},
                         {288, K::IpAddress, ""}, {286, K::Static, "LABEL_ETHERNET_PORT"}, {283, K::Edit, ""},
                         {250, K::Spin, ""}, {229, K::Static, "LABEL_MODBUS_ADDRESS"}, {255, K::Edit, ""},
                         {256, K::Spin, ""}, {247, K::Static, "LABEL_PROTOCOL"}, {248, K::Combo, ""},
                         {1, K::Button, "OK"}, {2, K::Button, "Cancel"}},
                        nodeGuard),
                   dontShow),
              {})},
        {216, "LABEL_RANGE", with({{261, K::Edit, ""}, {262, K::Static, ""}}, okCancel)},
        {217, "LABEL_SCAN_PROGRESS",
         {{263, K::ProgressBar, ""}, {264, K::Static, "LABEL_INITIALIZE"}, {2, K::Button, "Abbrechen"}}},
        {234, "LABEL_SELECT_PROTOCOL", with({{280, K::ListView, ""}}, okCancel)},
        {229, "Dialog", okCancel},
    };
}

} // namespace

TEST(DialogTemplates, EveryTemplateHoldsExactlyItsControls)
{
    const auto expected = expectedTemplates();
    EXPECT_EQ(DialogTemplate::all().size(), expected.size());
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const DialogTemplate* t = DialogTemplate::find(e.id);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->title, e.title);
        std::set<int> want, have;
        for (const auto& [id, kind, key] : e.controls) {
            want.insert(id);
            const auto* c = t->findControl(id);
            ASSERT_NE(c, nullptr) << "control " << id;
            EXPECT_EQ(c->kind, kind) << "control " << id;
            if (!key.empty()) {
                EXPECT_EQ(c->text, key) << "control " << id;
            }
        }
        for (const auto& c : t->controls) {
            // The captions this layout adds beside combos are the only extras.
            if (!want.count(c.id)) {
                EXPECT_EQ(c.kind, K::Static) << "unexpected control " << c.id;
            }
            EXPECT_TRUE(have.insert(c.id).second) << "duplicate id " << c.id;
        }
        // Every spin box steps an edit of the same template.
        for (const auto& c : t->controls)
            if (c.kind == K::Spin) {
                ASSERT_NE(t->findControl(c.buddy), nullptr) << "spin " << c.id;
                EXPECT_EQ(t->findControl(c.buddy)->kind, K::Edit);
            }
    }
    EXPECT_EQ(DialogTemplate::find(999), nullptr);
}

TEST(DialogTemplates, PresetComboEntries)
{
    const std::vector<std::string> ports = {"COM1", "COM2", "COM3", "COM4"};
    const std::vector<std::string> bauds = {"300",  "600",   "1200",  "2400",  "4800",
                                            "9600", "19200", "38400", "57600", "115200"};
    const std::vector<std::string> formats = {"N,8,1", "E,8,1", "O,8,1", "N,8,2"};
    const std::vector<std::string> can = {"125k", "250k", "500k"};
    for (int id : {202, 219, 212, 221}) {
        SCOPED_TRACE(id);
        const auto* t = DialogTemplate::find(id);
        EXPECT_EQ(t->findControl(233)->entries, ports);
        EXPECT_EQ(t->findControl(207)->entries, bauds);
        EXPECT_EQ(t->findControl(243)->entries, formats);
    }
    for (int id : {230, 232, 211, 223}) {
        SCOPED_TRACE(id);
        const auto* t = DialogTemplate::find(id);
        EXPECT_EQ(t->findControl(233)->entries, ports);
        EXPECT_EQ(t->findControl(207)->entries, can);
    }
}

TEST(DialogTemplates, FactoryChoosesTheTemplateByProtocolAndScanFlag)
{
    const std::vector<std::tuple<std::string, bool, int>> table = {
        {"ModbusRS485", false, 202}, {"ModbusRS485", true, 219},  {"VorlaneRS485", false, 212},
        {"VorlaneRS485", true, 221}, {"DeviceNetCan", false, 211}, {"DeviceNetCan", true, 223},
        {"CanOpen_QTA", false, 230}, {"CanOpen_KVX", true, 232},  {"ModbusTCP", false, 237},
        {"ModbusTCP", true, 237},    {"NoSuchBus", false, 229},
    };
    for (const auto& [name, scan, templateId] : table) {
        auto dialog = Kavrel::ParameterDialogFactory::create(name, scan, nullptr);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->getTemplateId(), templateId) << name << (scan ? " scan" : "");
    }
}

TEST(DialogTemplates, EveryVisibleTextIsTranslatedInBothLanguages)
{
    struct Spot {
        int templateId;
        int control; // 0 = the title
        const char* en;
        const char* de;
    };
    const std::vector<Spot> spots = {
        {202, 0, "Connection", "Verbindung"},       {202, 208, "COM port", "COM-Port"},
        {202, 241, "Node guarding", "Knotenüberwachung"}, {202, 2, "Cancel", "Abbrechen"},
        {237, 2, "Cancel", "Abbrechen"},            {216, 0, "Address range", "Adressbereich"},
        {217, 264, "Initializing", "Initialisierung"}, {234, 0, "Select a protocol", "Protokoll auswählen"},
        {211, 258, "Scanner start time-out", "Start-Zeitüberschreitung des Scanners"},
        {229, 0, "Dialog", "Dialog"},
    };
    for (const std::string language : {"EN", "DE"}) {
        auto dictionary = dialogtest::dictionary(language);
        ASSERT_TRUE(dictionary->hasDocument()) << language;
        for (const auto& t : DialogTemplate::all()) {
            SCOPED_TRACE(language + " " + std::to_string(t.id));
            AbstractDialog dialog(t.id);
            dialog.setTranslationDocument(dictionary);
            dialog.OnInitDialog();
            // No key is left untranslated ("Dialog" is a plain word, not a key).
            EXPECT_EQ(dialog.windowGetTitle().rfind("LABEL_", 0), std::string::npos) << dialog.windowGetTitle();
            for (const auto& c : dialog.getControls()) {
                EXPECT_EQ(c.text.rfind("LABEL_", 0), std::string::npos) << c.id << " " << c.text;
                if (language == "EN" && c.kind == K::Button) {
                    EXPECT_NE(c.text, "Abbrechen") << c.id;
                }
            }
            for (const auto& s : spots)
                if (s.templateId == t.id) {
                    const std::string want = language == "EN" ? s.en : s.de;
                    EXPECT_EQ(s.control == 0 ? dialog.windowGetTitle() : dialog.itemGetText(s.control), want);
                }
        }
    }
}

TEST(DialogTemplates, KeyWithoutEntryKeepsItsTextAndControlOperationsAreSafe)
{
    AbstractDialog dialog(202);
    dialog.setTranslationDocument(dialogtest::dictionary("EN"));
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.translate("LABEL_NO_SUCH_KEY"), "LABEL_NO_SUCH_KEY");
    // Unknown ids change nothing and read as empty.
    dialog.itemSetText(4711, "x");
    EXPECT_EQ(dialog.itemGetText(4711), "");
    EXPECT_FALSE(dialog.comboSelectEntry(4711, 0));
    EXPECT_FALSE(dialog.setControlValue(4711, "1"));
    // Combo entries: by text, by item data, by "#n"; an unknown entry is refused.
    EXPECT_TRUE(dialog.setControlValue(207, "38400"));
    EXPECT_EQ(dialog.comboSelectedText(207), "38400");
    EXPECT_TRUE(dialog.setControlValue(207, "#0"));
    EXPECT_EQ(dialog.comboSelectedText(207), "300");
    EXPECT_FALSE(dialog.setControlValue(207, "12345"));
    EXPECT_FALSE(dialog.setControlValue(207, "#10"));
    EXPECT_EQ(dialog.comboSelectedText(207), "300");
    // A spin box sets and reads its edit; check boxes take 1/0 only.
    EXPECT_TRUE(dialog.setControlValue(256, "17"));
    EXPECT_EQ(dialog.itemGetText(255), "17");
    EXPECT_FALSE(dialog.setControlValue(230, "maybe"));
    // Statics and buttons take no value.
    EXPECT_FALSE(dialog.setControlValue(208, "x"));
    EXPECT_FALSE(dialog.setControlValue(1, "x"));
}
