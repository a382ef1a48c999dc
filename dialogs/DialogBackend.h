#pragma once
#include <memory>

namespace commonbase {

class AbstractDialog;

// Shows dialogs to a user (a terminal) or answers them for one (a script).
// The host chooses one for the whole process; with none, dialogs confirm the
// current settings without being shown.
class DialogBackend {
public:
    virtual ~DialogBackend();
    // Runs an initialised dialog until it ends and returns its result
    // (1 OK, 2 cancel), or -1 when the dialog cannot be shown.
    virtual int run(AbstractDialog& dialog) = 0;

    static void set(std::shared_ptr<DialogBackend> backend);
    static std::shared_ptr<DialogBackend> get();
};

} // namespace commonbase
