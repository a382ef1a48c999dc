#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>
#include "dialogs/DialogBackend.h"

namespace Kavrel {

// Answers dialogs from a prepared script, for tests and hosts without a
// user: each answer sets controls and presses a button. A dialog that the
// script does not answer, or whose input it refuses, ends with cancel.
class ScriptedDialogBackend : public commonbase::DialogBackend {
public:
    struct Answer {
        int templateId = 0; // 0 answers any dialog
        std::vector<std::pair<int, std::string>> settings;
        std::chrono::milliseconds wait{0}; // let the dialog run (events flow) before pressing
        int press = 1;                     // 1 OK, 2 cancel, 0 none (only wait)
    };
    // What a dialog showed when it came up, and how it ended.
    struct Shown {
        int templateId = 0;
        std::string title;
        std::vector<std::pair<int, std::string>> texts;
        int result = 0;
        std::string status;
    };

    void add(Answer answer);
    // One answer a line: "<template id or *> [N=V ...] [wait=MS] ok|cancel|none";
    // blank lines and lines starting with # are skipped. False with the
    // reason on a malformed line (nothing is added then).
    bool parse(const std::string& script, std::string& error);

    int run(commonbase::AbstractDialog& dialog) override;

    std::vector<Shown> transcript() const;
    std::size_t remaining() const;

private:
    mutable std::mutex mutex;
    std::deque<Answer> answers;
    std::vector<Shown> shown;
};

} // namespace Kavrel
