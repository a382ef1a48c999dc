// The choice of template per protocol, the translation of every visible text
// in both languages and the controls' refusal of what they cannot take.
#include <gtest/gtest.h>

#include <set>

#include "DialogTestSupport.h"
#include "dialogs/AbstractDialog.h"
#include "dialogs/DialogTemplate.h"
#include "dialogs/ParameterDialogFactory.h"

using commonbase::AbstractDialog;
using commonbase::ControlKind;
using commonbase::DialogTemplate;

TEST(DialogTemplates, EveryVisibleTextIsTranslatedInBothLanguages)
{
    struct Spot { int templateId, control; const char *en, *de; } spots[] = { // control 0: the title
        {202, 0, "Connection", "Verbindung"}, {202, 208, "COM port", "COM-Port"}, {202, 2, "Cancel", "Abbrechen"},
        {202, 241, "Node guarding", "Knotenüberwachung"}, {237, 2, "Cancel", "Abbrechen"},
        {216, 0, "Address range", "Adressbereich"}, {217, 264, "Initializing", "Initialisierung"},
        {234, 0, "Select a protocol", "Protokoll auswählen"}, {229, 0, "Dialog", "Dialog"},
        {211, 258, "Scanner start time-out", "Start-Zeitüberschreitung des Scanners"}};
    // The templates the scripted dialogs do not reach.
    EXPECT_EQ(Kavrel::ParameterDialogFactory::create("CanOpen_QTA", false, nullptr)->getTemplateId(), 230);
    EXPECT_EQ(Kavrel::ParameterDialogFactory::create("NoSuchBus", false, nullptr)->getTemplateId(), 229);
    EXPECT_EQ(DialogTemplate::find(999), nullptr);
    for (const std::string language : {"EN", "DE"}) {
        auto dictionary = dialogtest::dictionary(language);
        ASSERT_TRUE(dictionary->hasDocument()) << language;
        for (const auto& t : DialogTemplate::all()) {
            SCOPED_TRACE(language + " " + std::to_string(t.id));
            AbstractDialog dialog(t.id);
            dialog.setTranslationDocument(dictionary);
            dialog.OnInitDialog();
            // Every spin box steps an edit of its template; no key is left untranslated ("Dialog" is a plain word).
            for (const auto& c : t.controls) {
                if (c.kind == ControlKind::Spin) { EXPECT_EQ(t.findControl(c.buddy) ? t.findControl(c.buddy)->kind : c.kind, ControlKind::Edit); }
            }
            EXPECT_EQ(dialog.windowGetTitle().rfind("LABEL_", 0), std::string::npos) << dialog.windowGetTitle();
            for (const auto& c : dialog.getControls()) { EXPECT_EQ(c.text.rfind("LABEL_", 0), std::string::npos) << c.id << " " << c.text; }
            for (const auto& s : spots)
                if (s.templateId == t.id) {
                    EXPECT_EQ(s.control == 0 ? dialog.windowGetTitle() : dialog.itemGetText(s.control), language == "EN" ? s.en : s.de);
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
    // Combo entries by text, by item data, by "#n"; a spin box sets its edit; check boxes take 1/0 only;
    // statics and buttons take no value. What is refused leaves the last value.
    struct Case { int control; const char* value; bool taken; int shown; const char* text; } cases[] = {
        {207, "38400", true, 207, "38400"}, {207, "#0", true, 207, "300"}, {207, "12345", false, 207, "300"},
        {207, "#10", false, 207, "300"}, {256, "17", true, 255, "17"}, {230, "maybe", false, 0, ""},
        {208, "x", false, 0, ""}, {1, "x", false, 0, ""}, {4711, "1", false, 0, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(dialog.setControlValue(c.control, c.value), c.taken) << c.control << "=" << c.value;
        if (c.shown) { EXPECT_EQ(c.shown == 207 ? dialog.comboSelectedText(207) : dialog.itemGetText(c.shown), c.text); }
    }
}
