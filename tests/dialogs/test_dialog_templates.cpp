// The templates' consistency, the choice of template per protocol and the
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

// Hosts and scripts find controls by id: within a template every id is one
// control, and every spin box steps an edit of the same template.
TEST(DialogTemplates, ControlIdsAreUniqueAndSpinsStepAnEdit)
{
    ASSERT_FALSE(DialogTemplate::all().empty());
    for (const auto& t : DialogTemplate::all()) {
        SCOPED_TRACE(t.id);
        std::set<int> have;
        for (const auto& c : t.controls) {
            EXPECT_TRUE(have.insert(c.id).second) << "duplicate id " << c.id;
            if (c.kind == ControlKind::Spin) {
                ASSERT_NE(t.findControl(c.buddy), nullptr) << "spin " << c.id;
                EXPECT_EQ(t.findControl(c.buddy)->kind, ControlKind::Edit);
            }
        }
    }
    EXPECT_EQ(DialogTemplate::find(999), nullptr);
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
                if (language == "EN" && c.kind == ControlKind::Button) {
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
