#include "dialogs/AbstractDialog.h"

#include "commonbase/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "dialogs/DialogBackend.h"

namespace commonbase {

AbstractDialog::AbstractDialog(int templateId_) : templateId(templateId_)
{
    dialogTemplate = DialogTemplate::find(templateId);
    if (!dialogTemplate)
        DbgInfo(3, __FILE__, cat("no dialog template ", templateId));
}

AbstractDialog::~AbstractDialog() = default;

void AbstractDialog::OnInitDialog()
{
    Dbg dbg(0, __FILE__, cat("OnInitDialog(", templateId, ")"));
    controls.clear();
    ended = false;
    result = 0;
    statusText.clear();
    if (!dialogTemplate)
        return;
    title = dialogTemplate->title;
    for (const auto& t : dialogTemplate->controls) {
        Control c;
        c.id = t.id;
        c.kind = t.kind;
        c.text = t.text;
        c.buddy = t.buddy;
        for (const auto& entry : t.entries)
            c.entries.emplace_back(entry, entry);
        if (c.kind == ControlKind::Combo && !c.entries.empty())
            c.selected = 0;
        controls.push_back(std::move(c));
    }
    initDialogElements();
}

int AbstractDialog::runModal()
{
    Dbg dbg(0, __FILE__, cat("runModal(", templateId, ")"));
    OnInitDialog();
    if (!isEnded())
        onShow();
    if (!isEnded()) {
        auto backend = DialogBackend::get();
        const int shown = backend ? backend->run(*this) : runHeadless();
        if (shown == resultFailed && !isEnded()) {
            DbgInfo(3, __FILE__, cat("dialog ", templateId, " could not be shown"));
            return resultFailed;
        }
        if (!isEnded())
            EndDialog(resultCancel);
    }
    DbgInfo(1, __FILE__, cat("dialog ", templateId, " ended with ", result));
    return result;
}

void AbstractDialog::onShow() {}

int AbstractDialog::runHeadless()
{
    OnOK();
    return isEnded() ? getResult() : resultCancel;
}

// ---------------------------------------------------------------------------
// Translation

void AbstractDialog::setTranslationDocument(std::shared_ptr<XmlDom> document) { translation = std::move(document); }

std::string AbstractDialog::translate(const std::string& key) const
{
    if (key.empty())
        return key;
    auto document = translation ? translation : Kavrel::CommunicationManager::getInstance().getTranslationDocument();
    std::string text;
    if (!document || !document->readValue(text, "Dictionary/Label", "id=" + key))
        text = key;
    DbgInfo(0, __FILE__, cat(key, " = ", text));
    return text;
}

void AbstractDialog::initDialogElements()
{
    Dbg dbg(0, __FILE__, "initDialogElements");
    windowSetTitle(translate(windowGetTitle()));
    for (auto& c : controls) {
        switch (c.kind) {
        case ControlKind::Static:
        case ControlKind::Group:
        case ControlKind::CheckBox:
        case ControlKind::Button:
            if (!c.text.empty())
                itemSetText(c.id, translate(itemGetText(c.id)));
            break;
        default:
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Controls

AbstractDialog::Control* AbstractDialog::control(int id)
{
    for (auto& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

const AbstractDialog::Control* AbstractDialog::findControl(int id) const
{
    for (const auto& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

void AbstractDialog::comboAddEntry(int id, const std::string& text, const std::string& data)
{
    DbgInfo(0, __FILE__, cat("comboAddEntry(", id, ",", text, ")"));
    if (auto* c = control(id)) {
        c->entries.emplace_back(text, data.empty() ? text : data);
        if (c->selected < 0)
            c->selected = 0;
    }
}

void AbstractDialog::comboResetContent(int id)
{
    DbgInfo(0, __FILE__, cat("comboResetContent(", id, ")"));
    if (auto* c = control(id)) {
        c->entries.clear();
        c->selected = -1;
    }
}

bool AbstractDialog::comboSelectEntry(int id, int index)
{
    DbgInfo(0, __FILE__, cat("comboSelectEntry(", id, ",", index, ")"));
    auto* c = control(id);
    if (!c || index < -1 || index >= static_cast<int>(c->entries.size()))
        return false;
    c->selected = index;
    return true;
}

bool AbstractDialog::comboSelectText(int id, const std::string& value)
{
    auto* c = control(id);
    if (!c)
        return false;
    if (value.size() > 1 && value[0] == '#') {
        if (auto n = parseDecimal(value.substr(1)))
            return comboSelectEntry(id, static_cast<int>(*n));
        return false;
    }
    for (std::size_t i = 0; i < c->entries.size(); ++i)
        if (c->entries[i].first == value || c->entries[i].second == value)
            return comboSelectEntry(id, static_cast<int>(i));
    return false;
}

int AbstractDialog::comboGetSelection(int id) const
{
    const auto* c = findControl(id);
    return c ? c->selected : -1;
}

std::string AbstractDialog::comboSelectedItemData(int id) const
{
    DbgInfo(0, __FILE__, cat("comboSelectedItemData(", id, ")"));
    const auto* c = findControl(id);
    if (!c || c->selected < 0 || c->selected >= static_cast<int>(c->entries.size()))
        return {};
    return c->entries[static_cast<std::size_t>(c->selected)].second;
}

std::string AbstractDialog::comboSelectedText(int id) const
{
    const auto* c = findControl(id);
    if (!c || c->selected < 0 || c->selected >= static_cast<int>(c->entries.size()))
        return {};
    return c->entries[static_cast<std::size_t>(c->selected)].first;
}

void AbstractDialog::radioSetCheck(int id, int checked)
{
    DbgInfo(0, __FILE__, cat("radioSetCheck(", id, ",", checked, ")"));
    if (auto* c = control(id))
        c->checked = checked ? 1 : 0;
}

int AbstractDialog::radioGetCheck(int id) const
{
    DbgInfo(0, __FILE__, cat("radioGetCheck(", id, ")"));
    const auto* c = findControl(id);
    return c ? c->checked : 0;
}

void AbstractDialog::itemSetText(int id, const std::string& text)
{
    DbgInfo(0, __FILE__, cat("itemSetText(", id, ",", text, ")"));
    auto* c = control(id);
    if (c && c->kind == ControlKind::Spin)
        c = control(c->buddy);
    if (c)
        c->text = text;
}

std::string AbstractDialog::itemGetText(int id) const
{
    DbgInfo(0, __FILE__, cat("itemGetText(", id, ")"));
    const auto* c = findControl(id);
    if (c && c->kind == ControlKind::Spin)
        c = findControl(c->buddy);
    return c ? c->text : std::string();
}

bool AbstractDialog::itemGetNumber(int id, std::int64_t& value) const
{
    const std::string text = trim(itemGetText(id));
    bool negative = !text.empty() && text[0] == '-';
    auto n = parseDecimal(negative ? text.substr(1) : text);
    if (!n)
        return false;
    value = negative ? -static_cast<std::int64_t>(*n) : static_cast<std::int64_t>(*n);
    return true;
}

void AbstractDialog::itemSetEnable(int id, bool enable)
{
    DbgInfo(0, __FILE__, cat("itemSetEnable(", id, ",", enable ? 1 : 0, ")"));
    if (auto* c = control(id))
        c->enabled = enable;
}

bool AbstractDialog::itemGetEnable(int id) const
{
    const auto* c = findControl(id);
    return c && c->enabled;
}

void AbstractDialog::itemSetVisible(int id, bool visible)
{
    DbgInfo(0, __FILE__, cat("itemSetVisible(", id, ",", visible ? 1 : 0, ")"));
    if (auto* c = control(id))
        c->visible = visible;
}

void AbstractDialog::itemLimitText(int id, std::size_t limit)
{
    DbgInfo(0, __FILE__, cat("itemLimitText(", id, ",", limit, ")"));
    if (auto* c = control(id))
        c->limit = limit;
}

std::string AbstractDialog::windowGetTitle() const
{
    DbgInfo(0, __FILE__, "windowGetTitle");
    return title;
}

void AbstractDialog::windowSetTitle(const std::string& text)
{
    DbgInfo(0, __FILE__, cat("windowSetTitle(", text, ")"));
    title = text;
}

void AbstractDialog::spinBoxSetRange(int id, int lower, int upper)
{
    DbgInfo(0, __FILE__, cat("spinBoxSetRange(", id, ",", lower, ",", upper, ")"));
    if (auto* c = control(id)) {
        c->lower = lower;
        c->upper = upper;
    }
}

void AbstractDialog::progressBarSetPos(int id, int position)
{
    DbgInfo(0, __FILE__, cat("progressBarSetPos(", id, ",", position, ")"));
    if (auto* c = control(id))
        c->position = position < 0 ? 0 : (position > 100 ? 100 : position);
}

void AbstractDialog::setDontShowDialog(bool flag)
{
    DbgInfo(0, __FILE__, cat("setDontShowDialog(", flag ? 1 : 0, ")"));
    dontShowDialog = flag;
}

void AbstractDialog::OnPaint() { DbgInfo(0, __FILE__, "OnPaint"); }

// ---------------------------------------------------------------------------
// Commands

void AbstractDialog::onCommand(int id)
{
    if (isEnded())
        return;
    if (id == idOk)
        OnOK();
    else if (id == idCancel)
        OnCancel();
    else
        onControlChanged(id);
}

void AbstractDialog::onControlChanged(int) {}

bool AbstractDialog::setControlValue(int id, const std::string& value)
{
    auto* c = control(id);
    if (!c)
        return false;
    switch (c->kind) {
    case ControlKind::Edit:
    case ControlKind::IpAddress:
        c->text = c->limit && value.size() > c->limit ? value.substr(0, c->limit) : value;
        return true;
    case ControlKind::Spin:
        return c->buddy != 0 && setControlValue(c->buddy, value);
    case ControlKind::Combo:
    case ControlKind::ListView:
        return comboSelectText(id, value);
    case ControlKind::CheckBox:
        if (value == "1" || value == "on" || value == "true") {
            c->checked = 1;
            return true;
        }
        if (value == "0" || value == "off" || value == "false") {
            c->checked = 0;
            return true;
        }
        return false;
    default:
        return false;
    }
}

std::string AbstractDialog::getControlValue(int id) const
{
    const auto* c = findControl(id);
    if (!c)
        return {};
    switch (c->kind) {
    case ControlKind::Combo:
    case ControlKind::ListView:
        return comboSelectedText(id);
    case ControlKind::CheckBox:
        return c->checked ? "1" : "0";
    case ControlKind::Spin:
        return itemGetText(id);
    case ControlKind::ProgressBar:
        return std::to_string(c->position);
    default:
        return c->text;
    }
}

void AbstractDialog::onIdle() { commonbase::HostEventLoop::pump(); }

bool AbstractDialog::validateSpinEdits()
{
    for (const auto& c : controls) {
        if (c.kind != ControlKind::Spin || !c.buddy)
            continue;
        const auto* edit = findControl(c.buddy);
        if (!edit || !edit->enabled || !edit->visible)
            continue;
        std::int64_t value = 0;
        if (!itemGetNumber(c.buddy, value) || value < c.lower || value > c.upper) {
            statusText = cat(translate("LABEL_VALUE_RANGEERROR"), " ", c.lower, "-", c.upper, ": '", edit->text, "'");
            DbgInfo(2, __FILE__, cat("control ", c.buddy, ": ", statusText));
            return false;
        }
    }
    return true;
}

void AbstractDialog::OnOK()
{
    DbgInfo(0, __FILE__, "OnOK");
    EndDialog(resultOk);
}

void AbstractDialog::OnCancel()
{
    DbgInfo(0, __FILE__, "OnCancel");
    EndDialog(resultCancel);
}

void AbstractDialog::EndDialog(int value)
{
    DbgInfo(0, __FILE__, cat("EndDialog(", value, ")"));
    if (ended)
        return;
    ended = true;
    result = value;
}

} // namespace commonbase
