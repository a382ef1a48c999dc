#include "dialogs/ScriptedDialogBackend.h"

#include <sstream>
#include <thread>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

using commonbase::AbstractDialog;
using commonbase::cat;

void ScriptedDialogBackend::add(Answer answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back(std::move(answer));
}

bool ScriptedDialogBackend::parse(const std::string& script, std::string& error)
{
    std::vector<Answer> parsed;
    std::istringstream lines(script);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = commonbase::trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string word;
        words >> word;
        Answer answer;
        if (word != "*") {
            auto id = commonbase::parseDecimal(word);
            if (!id) {
                error = cat("line ", number, ": '", word, "' is not a template id or *");
                return false;
            }
            answer.templateId = static_cast<int>(*id);
        }
        bool pressed = false;
        while (words >> word) {
            if (pressed) {
                error = cat("line ", number, ": '", word, "' after the button");
                return false;
            }
            if (word == "ok" || word == "cancel" || word == "none") {
                answer.press = word == "ok" ? AbstractDialog::idOk : (word == "cancel" ? AbstractDialog::idCancel : 0);
                pressed = true;
                continue;
            }
            const auto eq = word.find('=');
            if (eq == std::string::npos) {
                error = cat("line ", number, ": '", word, "' is not N=V, wait=MS, ok, cancel or none");
                return false;
            }
            const std::string key = word.substr(0, eq);
            const std::string value = word.substr(eq + 1);
            if (key == "wait") {
                auto ms = commonbase::parseDecimal(value);
                if (!ms) {
                    error = cat("line ", number, ": wait needs milliseconds");
                    return false;
                }
                answer.wait = std::chrono::milliseconds(*ms);
                continue;
            }
            auto id = commonbase::parseDecimal(key);
            if (!id) {
                error = cat("line ", number, ": '", key, "' is not a control id");
                return false;
            }
            answer.settings.emplace_back(static_cast<int>(*id), value);
        }
        if (!pressed) {
            error = cat("line ", number, ": no button (ok, cancel or none)");
            return false;
        }
        parsed.push_back(std::move(answer));
    }
    for (auto& a : parsed)
        add(std::move(a));
    return true;
}

int ScriptedDialogBackend::run(AbstractDialog& dialog)
{
    Shown record;
    record.templateId = dialog.getTemplateId();
    record.title = dialog.windowGetTitle();
    for (const auto& c : dialog.getControls())
        record.texts.emplace_back(c.id, dialog.getControlValue(c.id));

    Answer answer;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = answers.begin(); it != answers.end(); ++it) {
            if (it->templateId == 0 || it->templateId == dialog.getTemplateId()) {
                answer = *it;
                answers.erase(it);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        commonbase::DbgInfo(2, __FILE__, cat("no scripted answer for dialog ", dialog.getTemplateId()));
    } else {
        bool refused = false;
        for (const auto& [id, value] : answer.settings) {
            if (dialog.isEnded())
                break;
            if (!dialog.setControlValue(id, value)) {
                commonbase::DbgInfo(2, __FILE__, cat("dialog ", dialog.getTemplateId(), ": control ", id,
                                                     " does not take '", value, "'"));
                refused = true;
                break;
            }
            dialog.onCommand(id);
        }
        if (!refused) {
            const auto until = std::chrono::steady_clock::now() + answer.wait;
            dialog.onIdle();
            while (!dialog.isEnded() && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                dialog.onIdle();
            }
            if (answer.press != 0)
                dialog.onCommand(answer.press);
        }
    }
    // A refused OK stays open for a person; a script cannot correct itself.
    if (!dialog.isEnded())
        dialog.onCommand(AbstractDialog::idCancel);
    if (!dialog.isEnded())
        dialog.EndDialog(AbstractDialog::resultCancel);
    record.result = dialog.getResult();
    record.status = dialog.getStatusText();
    {
        std::lock_guard<std::mutex> lock(mutex);
        shown.push_back(std::move(record));
    }
    return dialog.getResult();
}

std::vector<ScriptedDialogBackend::Shown> ScriptedDialogBackend::transcript() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return shown;
}

std::size_t ScriptedDialogBackend::remaining() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return answers.size();
}

} // namespace Kavrel
