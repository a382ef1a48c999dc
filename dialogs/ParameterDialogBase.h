#pragma once
#include <cstdint>
#include <string>
#include "core/InterfaceDialogs.h"
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

class FieldbusInterface;

// Connection-parameter dialog of an interface: the node-guard group, the
// don't-show flag and the values each protocol adds. OK stores the values in
// the interface's settings; without a dialog backend the dialog is not shown
// and confirms the interface's current settings.
class ParameterDialogBase : public commonbase::AbstractDialog, public InterfaceParameterDialog {
public:

    // Controls shared by the connection templates.
    static constexpr int idPortCombo = 233;
    static constexpr int idBaudCombo = 207;
    static constexpr int idFormatCombo = 243;
    static constexpr int idAddressEdit = 255;
    static constexpr int idAddressSpin = 256;
    static constexpr int idNodeGuardGroup = 241;
    static constexpr int idNodeGuardOff = 238;
    static constexpr int idNodeGuardEdit = 236;
    static constexpr int idNodeGuardSpin = 249;
    static constexpr int idDontShow = 230;

    // Node-guard interval limits, in seconds.
    static constexpr int nodeGuardMinimum = 1;
    static constexpr int nodeGuardMaximum = 3600;

    ParameterDialogBase(FieldbusInterface* owner, std::string protocolName, bool networkScan, int templateId = 229);
    ~ParameterDialogBase() override;

    // Runs the dialog modally; 1 = OK, 2 = cancel, -1 = the dialog could not be shown.
    std::int32_t displayDialog(std::uint32_t mode, std::uint32_t style) override;
    // 0 or the 12-bit error code of a failed confirmation.
    std::uint32_t getErrorCode() const override { return errorCode; }
    void setDisplayedFirstTime(std::uint32_t flag) override { displayedFirstTime = flag; }
    void setDontShowDialog(bool flag) override { AbstractDialog::setDontShowDialog(flag); }
    std::uint32_t getDisplayedFirstTime() const { return displayedFirstTime; }
    bool isNetworkScan() const { return networkScan; }
    const std::string& getProtocolName() const { return protocolName; }

    void OnInitDialog() override;

    virtual void OnChangeNodeGuardInterval();
    virtual void OnChangeDestinationMacId();

protected:
    void OnOK() override;
    void OnCancel() override;
    void onControlChanged(int id) override;

    // Fill the controls from the interface, and take them back on OK.
    virtual void loadValues();
    virtual void storeValues();
    // More checks before OK; sets the status line and returns false to refuse.
    virtual bool validateValues();

    // Helpers for the controls most dialogs share.
    void loadHardwareCombo();
    void storeHardwareCombo();
    void loadBaudCombo(const std::vector<std::string>& presets);
    void storeBaudCombo();
    // Fills the format combo with the protocol's character formats, else the
    // presets, and selects the bus's current one.
    void loadFrameFormatCombo();
    void loadAddress();
    void storeAddress();
    // Scan bounds of the protocol (also without a protocol object).
    std::uint32_t scanMinimum() const;
    std::uint32_t scanMaximum() const;
    std::vector<std::string> protocolBaudrates() const;
    std::vector<std::string> protocolFrameFormats() const;

    FieldbusInterface* owner;
    std::string protocolName;
    bool networkScan;
    std::uint32_t errorCode = 0;
    std::uint32_t displayedFirstTime = 0;
    std::uint32_t mode = 0;
};

} // namespace Kavrel
