#pragma once
#include <cstdint>
#include <string>
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

// Lets the user choose one of the known protocols; OK gives its name.
// Without a backend it is not confirmed.
class SelectProtocolDialog : public commonbase::AbstractDialog {
public:
    static constexpr int templateId = 234;
    static constexpr int idList = 280;

    // A translation file path other than the module's dictionary, or empty.
    explicit SelectProtocolDialog(const std::string& translationFile = std::string());
    ~SelectProtocolDialog() override;

    virtual std::int32_t displayDialog(std::uint32_t style);
    void OnInitDialog() override;
    // The protocol chosen by OK (empty before).
    const std::string& getSelectedProtocol() const { return selectedProtocol; }
    // The row selected first; the manager's protocol unless set.
    void setCurrentProtocol(const std::string& name) { currentProtocol = name; }

protected:
    void OnOK() override;
    // Nobody can choose without a backend: not confirmed.
    int runHeadless() override;

private:
    std::string selectedProtocol;
    std::string currentProtocol;
};

} // namespace Kavrel
