#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Kavrel {

class FieldbusInterface;

// What a modal dialog returns.
constexpr std::int32_t dialogResultOk = 1;
constexpr std::int32_t dialogResultCancel = 2;

// The dialogs of an interface sit a folder above the core, since they read
// and write the interface's settings. The interface reaches them only through
// these views; the dialogs install their makers when the library is loaded.
class InterfaceParameterDialog {
public:
    virtual ~InterfaceParameterDialog() = default;
    // Runs the dialog modally; 1 = OK, 2 = cancel, -1 = the dialog could not be shown.
    virtual std::int32_t displayDialog(std::uint32_t mode, std::uint32_t style) = 0;
    // 0 or the 12-bit error code of a failed confirmation.
    virtual std::uint32_t getErrorCode() const = 0;
    virtual void setDisplayedFirstTime(std::uint32_t flag) = 0;
    virtual void setDontShowDialog(bool flag) = 0;
};

class InterfaceRangeDialog {
public:
    virtual ~InterfaceRangeDialog() = default;
    virtual void setRangeText(const std::string& text) = 0;
    virtual const std::string& getRangeText() const = 0;
    virtual std::int32_t displayDialog(std::uint32_t style) = 0;
};

class InterfaceScanDialog {
public:
    virtual ~InterfaceScanDialog() = default;
    virtual std::int32_t displayDialog(std::uint32_t style) = 0;
};

struct InterfaceDialogMakers {
    std::function<std::unique_ptr<InterfaceParameterDialog>(const std::string& protocolName, bool networkScan,
                                                            FieldbusInterface* owner)>
        parameter;
    std::function<std::unique_ptr<InterfaceRangeDialog>(FieldbusInterface* owner)> range;
    // Held in a shared pointer: a shown scan dialog registers itself as a scan observer.
    std::function<std::shared_ptr<InterfaceScanDialog>(FieldbusInterface* owner)> scanProgress;

    static InterfaceDialogMakers& installed()
    {
        static InterfaceDialogMakers makers;
        return makers;
    }
};

} // namespace Kavrel
