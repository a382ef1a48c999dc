#pragma once
#include <cstdint>
#include <string>

namespace Kavrel {

class FieldbusInterface;

// Connection-parameter dialog of an interface. Without a dialog backend it is
// headless: it confirms the interface's current settings (result OK).
class ParameterDialogBase {
public:
    static constexpr std::int32_t resultOk = 1;
    static constexpr std::int32_t resultCancel = 2;

    ParameterDialogBase(FieldbusInterface* owner, std::string protocolName, bool networkScan);
    virtual ~ParameterDialogBase();

    // Runs the dialog modally; 1 = OK, 2 = cancel, -1 = the dialog could not be shown.
    virtual std::int32_t displayDialog(std::uint32_t mode, std::uint32_t style);
    // 0 or the 12-bit error code of a failed confirmation.
    std::uint32_t getErrorCode() const { return errorCode; }
    void setDisplayedFirstTime(std::uint32_t flag) { displayedFirstTime = flag; }
    std::uint32_t getDisplayedFirstTime() const { return displayedFirstTime; }
    void setDontShowDialog(bool flag) { dontShow = flag; }
    bool getDontShowDialog() const { return dontShow; }

protected:
    FieldbusInterface* owner;
    std::string protocolName;
    bool networkScan;
    std::uint32_t errorCode = 0;
    std::uint32_t displayedFirstTime = 0;
    bool dontShow = false;
};

} // namespace Kavrel
