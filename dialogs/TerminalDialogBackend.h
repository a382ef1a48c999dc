#pragma once
#include <mutex>
#include "dialogs/DialogBackend.h"

namespace Kavrel {

// Shows dialogs as forms in the process's terminal (ncurses): labels, combo
// lists, edits with their spin ranges, check boxes, list views and progress
// bars. Tab and the arrows move, Left/Right choose, Up/Down step a number,
// Space ticks, Enter presses OK (or the focused button), Esc cancels.
// Without a terminal on standard input and output a dialog cannot be shown.
class TerminalDialogBackend : public commonbase::DialogBackend {
public:
    TerminalDialogBackend();
    ~TerminalDialogBackend() override;
    int run(commonbase::AbstractDialog& dialog) override;

private:
    std::mutex mutex; // one dialog on the terminal at a time
};

} // namespace Kavrel
