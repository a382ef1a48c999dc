#include "dialogs/TerminalDialogBackend.h"

#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

using commonbase::AbstractDialog;
using commonbase::ControlKind;
using Control = AbstractDialog::Control;

namespace {

constexpr int keyEscape = 27;
constexpr int idleMs = 50;

bool isField(ControlKind kind)
{
    return kind == ControlKind::Combo || kind == ControlKind::Edit || kind == ControlKind::IpAddress;
}

bool isFocusable(const Control& c)
{
    if (!c.visible || !c.enabled)
        return false;
    return isField(c.kind) || c.kind == ControlKind::CheckBox || c.kind == ControlKind::ListView ||
           c.kind == ControlKind::Button;
}

// One line of the form: a caption and/or the control it names.
struct Row {
    const Control* caption = nullptr;
    const Control* field = nullptr;
};

struct Layout {
    std::vector<Row> rows;
    std::vector<const Control*> buttons;
    std::vector<int> focusOrder;
};

Layout layOut(const AbstractDialog& dialog)
{
    Layout layout;
    const auto& controls = dialog.getControls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (!c.visible || c.kind == ControlKind::Spin)
            continue;
        if (c.kind == ControlKind::Button) {
            layout.buttons.push_back(&c);
            continue;
        }
        if (c.kind == ControlKind::Static) {
            std::size_t next = i + 1;
            while (next < controls.size() && controls[next].kind == ControlKind::Spin)
                ++next;
            if (next < controls.size() && controls[next].visible && isField(controls[next].kind)) {
                layout.rows.push_back({&c, &controls[next]});
                i = next;
                continue;
            }
        }
        if (c.kind == ControlKind::Static || c.kind == ControlKind::Group)
            layout.rows.push_back({&c, nullptr});
        else
            layout.rows.push_back({nullptr, &c});
    }
    for (const auto& row : layout.rows)
        if (row.field && isFocusable(*row.field))
            layout.focusOrder.push_back(row.field->id);
    for (const auto* b : layout.buttons)
        if (isFocusable(*b))
            layout.focusOrder.push_back(b->id);
    return layout;
}

const Control* spinOf(const AbstractDialog& dialog, int editId)
{
    for (const auto& c : dialog.getControls())
        if (c.kind == ControlKind::Spin && c.buddy == editId)
            return &c;
    return nullptr;
}

// Characters of a UTF-8 text (each takes one cell here).
int characters(const std::string& text)
{
    int n = 0;
    for (char c : text)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

// Cuts a UTF-8 text to at most `width` characters, never inside a character.
std::string fit(const std::string& text, int width)
{
    if (width <= 0)
        return {};
    int characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters++ == width)
            return text.substr(0, i);
    }
    return text;
}

void put(int y, int x, const std::string& text, attr_t attributes = A_NORMAL)
{
    if (y < 0 || y >= LINES)
        return;
    attron(attributes);
    mvaddstr(y, x, fit(text, COLS - x - 1).c_str());
    attroff(attributes);
}

std::string fieldText(const AbstractDialog& dialog, const Control& c)
{
    switch (c.kind) {
    case ControlKind::Combo: {
        const std::string text = dialog.comboSelectedText(c.id);
        return "< " + (text.empty() ? std::string("-") : text) + " >";
    }
    case ControlKind::Edit:
    case ControlKind::IpAddress: {
        std::string text = "[" + c.text;
        const std::size_t width = std::max<std::size_t>(12, c.text.size() + 1);
        text += std::string(width - c.text.size(), '_') + "]";
        if (const Control* spin = spinOf(dialog, c.id))
            text += commonbase::cat(" (", spin->lower, "-", spin->upper, ")");
        return text;
    }
    case ControlKind::CheckBox:
        return std::string(c.checked ? "[x] " : "[ ] ") + c.text;
    case ControlKind::ProgressBar: {
        constexpr int width = 30;
        const int filled = c.position * width / 100;
        return "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(width - filled), '-') + "] " + std::to_string(c.position) + "%";
    }
    default:
        return c.text;
    }
}

void draw(const AbstractDialog& dialog, const Layout& layout, int focus)
{
    erase();
    border('|', '|', '-', '-', '+', '+', '+', '+');
    const std::string title = " " + dialog.windowGetTitle() + " ";
    put(0, std::max(1, (COLS - characters(title)) / 2), title, A_BOLD);

    int captionWidth = 0;
    for (const auto& row : layout.rows)
        if (row.caption && row.field)
            captionWidth = std::max(captionWidth, characters(row.caption->text));
    captionWidth = std::min(captionWidth, 40);

    int y = 2;
    for (const auto& row : layout.rows) {
        const attr_t focused = row.field && row.field->id == focus ? A_REVERSE : A_NORMAL;
        const attr_t dim = row.field && !row.field->enabled ? A_DIM : A_NORMAL;
        if (row.caption && row.caption->kind == ControlKind::Group) {
            put(y++, 2, "-- " + row.caption->text + " --", A_BOLD);
            continue;
        }
        if (row.caption && !row.field) {
            put(y++, 4, row.caption->text);
            continue;
        }
        int x = 4;
        if (row.caption) {
            put(y, x, row.caption->text, dim);
            x += captionWidth + 2;
        }
        if (row.field->kind == ControlKind::ListView) {
            if (focused != A_NORMAL)
                put(y, 2, ">");
            for (std::size_t i = 0; i < row.field->entries.size(); ++i) {
                const bool selected = static_cast<int>(i) == row.field->selected;
                put(y++, x, (selected ? "> " : "  ") + row.field->entries[i].first,
                    selected ? (focused | A_BOLD) : A_NORMAL);
            }
            continue;
        }
        if (focused != A_NORMAL)
            put(y, 2, ">");
        put(y++, x, fieldText(dialog, *row.field), focused | dim);
    }
    ++y;
    int x = 4;
    for (const auto* b : layout.buttons) {
        const std::string text = b->id == focus ? "[>" + b->text + "<]" : "[ " + b->text + " ]";
        put(y, x, text, b->id == focus ? A_REVERSE : (b->enabled ? A_NORMAL : A_DIM));
        x += characters(text) + 2;
    }
    if (!dialog.getStatusText().empty())
        put(LINES - 3, 2, dialog.getStatusText(), A_BOLD);
    put(LINES - 2, 2, dialog.translate("LABEL_DIALOG_KEYS"), A_DIM);
    refresh();
}

int moveFocus(const Layout& layout, int focus, int step)
{
    if (layout.focusOrder.empty())
        return 0;
    auto it = std::find(layout.focusOrder.begin(), layout.focusOrder.end(), focus);
    const int n = static_cast<int>(layout.focusOrder.size());
    int index = it == layout.focusOrder.end() ? 0 : static_cast<int>(it - layout.focusOrder.begin());
    index = ((index + step) % n + n) % n;
    return layout.focusOrder[static_cast<std::size_t>(index)];
}

// Handles one key of the focused control.
void handleKey(AbstractDialog& dialog, const Layout& layout, int& focus, int key)
{
    const Control* c = dialog.findControl(focus);
    const ControlKind kind = c ? c->kind : ControlKind::Static;
    const Control* spin = c ? spinOf(dialog, c->id) : nullptr;
    auto step = [&](int delta) {
        std::int64_t value = 0;
        if (!dialog.itemGetNumber(c->id, value))
            value = spin->lower;
        else
            value = std::clamp<std::int64_t>(value + delta, spin->lower, spin->upper);
        dialog.setControlValue(c->id, std::to_string(value));
        dialog.onCommand(c->id);
    };
    auto choose = [&](int delta) {
        const int count = static_cast<int>(c->entries.size());
        if (count == 0)
            return;
        const int next = std::clamp(c->selected + delta, 0, count - 1);
        if (next != c->selected) {
            dialog.comboSelectEntry(c->id, next);
            dialog.onCommand(c->id);
        }
    };
    switch (key) {
    case '\t':
        focus = moveFocus(layout, focus, 1);
        return;
    case KEY_BTAB:
        focus = moveFocus(layout, focus, -1);
        return;
    case KEY_DOWN:
    case KEY_UP: {
        const int delta = key == KEY_UP ? 1 : -1;
        if (kind == ControlKind::ListView)
            choose(-delta);
        else if (spin && c->enabled)
            step(delta);
        else
            focus = moveFocus(layout, focus, -delta);
        return;
    }
    case KEY_LEFT:
    case KEY_RIGHT: {
        const int delta = key == KEY_RIGHT ? 1 : -1;
        if (kind == ControlKind::Combo)
            choose(delta);
        else if (kind == ControlKind::Button)
            focus = moveFocus(layout, focus, delta);
        return;
    }
    case ' ':
        if (kind == ControlKind::CheckBox) {
            dialog.setControlValue(c->id, c->checked ? "0" : "1");
            dialog.onCommand(c->id);
            return;
        }
        if (kind == ControlKind::Button) {
            dialog.onCommand(c->id);
            return;
        }
        break;
    case '\n':
    case '\r':
    case KEY_ENTER:
        if (kind == ControlKind::Button)
            dialog.onCommand(c->id);
        else if (dialog.findControl(AbstractDialog::idOk))
            dialog.onCommand(AbstractDialog::idOk);
        return;
    case keyEscape:
        dialog.onCommand(AbstractDialog::idCancel);
        return;
    case KEY_BACKSPACE:
    case 127:
    case 8:
        if ((kind == ControlKind::Edit || kind == ControlKind::IpAddress) && !c->text.empty()) {
            dialog.setControlValue(c->id, c->text.substr(0, c->text.size() - 1));
            dialog.onCommand(c->id);
        }
        return;
    default:
        break;
    }
    if ((kind == ControlKind::Edit || kind == ControlKind::IpAddress) && key >= 32 && key < 127 &&
        (c->limit == 0 || c->text.size() < c->limit)) {
        dialog.setControlValue(c->id, c->text + static_cast<char>(key));
        dialog.onCommand(c->id);
    }
}

} // namespace

TerminalDialogBackend::TerminalDialogBackend() = default;
TerminalDialogBackend::~TerminalDialogBackend() = default;

int TerminalDialogBackend::run(AbstractDialog& dialog)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        commonbase::DbgInfo(3, __FILE__, "no terminal to show the dialog on");
        return AbstractDialog::resultFailed;
    }
    // The texts are UTF-8: the terminal's own character set while the dialog is up.
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const std::string previousLocale = current ? current : "C";
    std::setlocale(LC_CTYPE, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (!screen) {
        std::setlocale(LC_CTYPE, previousLocale.c_str());
        commonbase::DbgInfo(3, __FILE__, "the terminal type is not known");
        return AbstractDialog::resultFailed;
    }
    set_term(screen);
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
    timeout(idleMs);

    Layout layout = layOut(dialog);
    int focus = layout.focusOrder.empty() ? 0 : layout.focusOrder.front();
    while (!dialog.isEnded()) {
        layout = layOut(dialog);
        // The focused control may have been disabled by the last change.
        if (std::find(layout.focusOrder.begin(), layout.focusOrder.end(), focus) == layout.focusOrder.end())
            focus = moveFocus(layout, focus, 1);
        draw(dialog, layout, focus);
        const int key = getch();
        if (key != ERR)
            handleKey(dialog, layout, focus, key);
        if (!dialog.isEnded())
            dialog.onIdle();
    }
    endwin();
    delscreen(screen);
    std::fflush(stdout);
    std::setlocale(LC_CTYPE, previousLocale.c_str());
    return dialog.getResult();
}

} // namespace Kavrel
