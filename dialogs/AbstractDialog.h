#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include "dialogs/DialogTemplate.h"

namespace commonbase {

class XmlDom;

// Base of every dialog: the controls of its template with their run-time
// state, the translation of their texts and the modal run through the
// process's dialog backend. The logic is platform-free; a backend only shows
// the controls and feeds the user's changes back through the operations below.
class AbstractDialog {
public:
    static constexpr int idOk = 1;
    static constexpr int idCancel = 2;
    static constexpr int resultOk = 1;
    static constexpr int resultCancel = 2;
    static constexpr int resultFailed = -1;

    // Run-time state of one control.
    struct Control {
        int id = 0;
        ControlKind kind = ControlKind::Static;
        std::string text;          // caption of statics, groups, checks, buttons; content of edits
        bool enabled = true;
        bool visible = true;
        std::vector<std::pair<std::string, std::string>> entries; // text and item data (combo, list view)
        int selected = -1;
        int checked = 0;
        int lower = 0, upper = 100; // spin range
        int buddy = 0;              // the edit a spin box steps
        int position = 0;           // progress bar, 0..100
        std::size_t limit = 0;      // longest text of an edit, 0 = none
    };

    explicit AbstractDialog(int templateId);
    virtual ~AbstractDialog();
    AbstractDialog(const AbstractDialog&) = delete;
    AbstractDialog& operator=(const AbstractDialog&) = delete;

    int getTemplateId() const { return templateId; }

    // Builds the controls from the template, translates them and lets the
    // dialog fill in its values (what the window system's init message does).
    virtual void OnInitDialog();
    // Runs the dialog modally through the backend, or headless without one.
    int runModal();

    // Control operations.
    void comboAddEntry(int id, const std::string& text, const std::string& data = std::string());
    void comboResetContent(int id);
    bool comboSelectEntry(int id, int index);
    // Selects the entry whose text or item data is `value`; false if none.
    bool comboSelectText(int id, const std::string& value);
    int comboGetSelection(int id) const;
    std::string comboSelectedItemData(int id) const;
    std::string comboSelectedText(int id) const;
    void radioSetCheck(int id, int checked);
    int radioGetCheck(int id) const;
    void itemSetText(int id, const std::string& text);
    std::string itemGetText(int id) const;
    void itemSetEnable(int id, bool enable);
    bool itemGetEnable(int id) const;
    void itemSetVisible(int id, bool visible);
    void itemLimitText(int id, std::size_t limit);
    std::string windowGetTitle() const;
    void windowSetTitle(const std::string& title);
    void spinBoxSetRange(int id, int lower, int upper);
    void progressBarSetPos(int id, int position);
    void setDontShowDialog(bool flag);
    bool getDontShowDialog() const { return dontShowDialog; }
    // Translates the title and every translatable control.
    void initDialogElements();
    // Tells the backend that the controls changed (logged; backends redraw).
    virtual void OnPaint();

    // What a backend calls: a button was pressed or a control was changed.
    virtual void onCommand(int id);
    // Sets a control from a text: edits and IP fields take it (up to their
    // limit), combos and list views select the entry of that text or item
    // data ("#n" selects entry n), check boxes take 1/0, a spin box sets its
    // edit. False for an unknown control or entry.
    bool setControlValue(int id, const std::string& value);
    std::string getControlValue(int id) const;
    // Called while the dialog is open; keeps the host's event queue flowing.
    virtual void onIdle();

    void EndDialog(int result);
    bool isEnded() const { return ended; }
    int getResult() const { return result; }
    // A line for the user about the last refused OK, empty when none.
    const std::string& getStatusText() const { return statusText; }

    const std::vector<Control>& getControls() const { return controls; }
    const Control* findControl(int id) const;
    // The text of a key in the translation file; the key itself when absent.
    std::string translate(const std::string& key) const;
    // Uses this dictionary instead of the module's (the dialog keeps it).
    void setTranslationDocument(std::shared_ptr<XmlDom> document);

    // Number value of an edit; false when it is not a decimal number.
    bool itemGetNumber(int id, std::int64_t& value) const;

protected:
    virtual void OnOK();
    virtual void OnCancel();
    // A control other than OK and cancel was changed.
    virtual void onControlChanged(int id);
    // Called once the dialog is initialised, before it is shown.
    virtual void onShow();
    // The result without a backend; by default what OK gives.
    virtual int runHeadless();
    // Checks every enabled edit that a spin box steps against its range and
    // sets the status line for the first that is out of it.
    bool validateSpinEdits();
    void setStatusText(const std::string& text) { statusText = text; }
    Control* control(int id);

    const DialogTemplate* dialogTemplate = nullptr;
    std::vector<Control> controls;
    std::string title;
    bool dontShowDialog = false;

private:
    int templateId;
    bool ended = false;
    int result = 0;
    std::string statusText;
    std::shared_ptr<XmlDom> translation;
};

} // namespace commonbase
