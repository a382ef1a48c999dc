#include "dialogs/ParameterDialogBase.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "core/SerialFrameFormat.h"
#include "dialogs/DialogBackend.h"
#include "dialogs/DialogTemplate.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

ParameterDialogBase::ParameterDialogBase(FieldbusInterface* owner_, std::string protocolName_, bool networkScan_,
                                         int templateId)
    : AbstractDialog(templateId), owner(owner_), protocolName(std::move(protocolName_)), networkScan(networkScan_)
{
}

ParameterDialogBase::~ParameterDialogBase() = default;

std::int32_t ParameterDialogBase::displayDialog(std::uint32_t mode_, std::uint32_t style)
{
    commonbase::Dbg dbg(0, __FILE__, cat("displayDialog(", mode_, ",", style, ")"));
    mode = mode_;
    errorCode = 0;
    // Told not to show itself (a scan runs), unless the caller insists.
    if (dontShowDialog && mode != 1)
        return resultOk;
    // Without a backend nobody can see the dialog: the current settings stand.
    if (!commonbase::DialogBackend::get())
        return resultOk;
    return runModal();
}

void ParameterDialogBase::OnInitDialog()
{
    AbstractDialog::OnInitDialog();
    if (findControl(idNodeGuardSpin))
        spinBoxSetRange(idNodeGuardSpin, nodeGuardMinimum, nodeGuardMaximum);
    if (owner)
        loadValues();
    OnPaint();
}

void ParameterDialogBase::loadValues()
{
    if (findControl(idNodeGuardGroup)) {
        const bool off = owner->getNodeGuardEnabled() != 1;
        radioSetCheck(idNodeGuardOff, off ? 1 : 0);
        itemSetText(idNodeGuardEdit, std::to_string(owner->getNodeGuardInterval() / 1000));
        itemSetEnable(idNodeGuardEdit, !off);
        itemSetEnable(idNodeGuardSpin, !off);
    }
    if (findControl(idDontShow))
        radioSetCheck(idDontShow, owner->getDontShowDialog() ? 1 : 0);
}

void ParameterDialogBase::storeValues()
{
    if (findControl(idNodeGuardGroup)) {
        const bool off = radioGetCheck(idNodeGuardOff) != 0;
        owner->setNodeGuardEnabled(off ? 0 : 1);
        std::int64_t seconds = 0;
        if (itemGetNumber(idNodeGuardEdit, seconds) && seconds >= nodeGuardMinimum && seconds <= nodeGuardMaximum)
            owner->setNodeGuardInterval(static_cast<std::int32_t>(seconds * 1000));
    }
    if (findControl(idDontShow))
        owner->setDontShowDialog(radioGetCheck(idDontShow) ? 1 : 0);
}

bool ParameterDialogBase::validateValues() { return true; }

void ParameterDialogBase::OnOK()
{
    commonbase::Dbg dbg(0, __FILE__, "OnOK");
    if (!validateSpinEdits() || !validateValues())
        return; // stays open; the status line says why
    if (owner)
        storeValues();
    errorCode = 0;
    EndDialog(resultOk);
}

void ParameterDialogBase::OnCancel()
{
    commonbase::Dbg dbg(0, __FILE__, "OnCancel");
    EndDialog(resultCancel);
}

void ParameterDialogBase::onControlChanged(int id)
{
    if (id == idNodeGuardOff) {
        const bool off = radioGetCheck(idNodeGuardOff) != 0;
        itemSetEnable(idNodeGuardEdit, !off);
        itemSetEnable(idNodeGuardSpin, !off);
    } else if (id == idNodeGuardEdit) {
        OnChangeNodeGuardInterval();
    } else if (id == idAddressEdit) {
        OnChangeDestinationMacId();
    }
}

void ParameterDialogBase::OnChangeNodeGuardInterval()
{
    commonbase::DbgInfo(0, __FILE__, cat("OnChangeNodeGuardInterval(", itemGetText(idNodeGuardEdit), ")"));
    setStatusText(validateSpinEdits() ? std::string() : getStatusText());
}

void ParameterDialogBase::OnChangeDestinationMacId()
{
    commonbase::DbgInfo(0, __FILE__, cat("OnChangeDestinationMacId(", itemGetText(idAddressEdit), ")"));
    setStatusText(validateSpinEdits() ? std::string() : getStatusText());
}

// ---------------------------------------------------------------------------
// Shared controls

std::uint32_t ParameterDialogBase::scanMinimum() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    return protocol ? protocol->getScanMinimum() : FieldbusProtocol::constantsFor(protocolName).scanMinimum;
}

std::uint32_t ParameterDialogBase::scanMaximum() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    return protocol ? protocol->getScanMaximum() : FieldbusProtocol::constantsFor(protocolName).scanMaximum;
}

std::vector<std::string> ParameterDialogBase::protocolBaudrates() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    return protocol ? protocol->getBaudrates() : FieldbusProtocol::constantsFor(protocolName).baudrates;
}

std::vector<std::string> ParameterDialogBase::protocolFrameFormats() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    return protocol ? protocol->getFrameFormats() : FieldbusProtocol::constantsFor(protocolName).frameFormats;
}

void ParameterDialogBase::loadFrameFormatCombo()
{
    auto formats = protocolFrameFormats();
    if (formats.empty())
        formats = commonbase::DialogTemplate::presetFrameFormats();
    comboResetContent(idFormatCombo);
    for (const auto& f : formats)
        comboAddEntry(idFormatCombo, f);
    if (auto* format = owner ? owner->getSerialFrameFormat() : nullptr)
        comboSelectText(idFormatCombo, format->getFormat());
}

void ParameterDialogBase::loadHardwareCombo()
{
    // The ports or adapters present replace the template's presets.
    comboResetContent(idPortCombo);
    const auto& hardware = owner->getHardwareInterfaces();
    for (const auto& h : hardware)
        if (h)
            comboAddEntry(idPortCombo, h->getName(), h->getNameToOpen());
    comboSelectEntry(idPortCombo, owner->getInterfaceIndex());
}

void ParameterDialogBase::storeHardwareCombo()
{
    const int index = comboGetSelection(idPortCombo);
    if (index >= 0)
        owner->setInterfaceIndex(index);
}

void ParameterDialogBase::loadBaudCombo(const std::vector<std::string>& presets)
{
    // The protocol's own rates replace the presets, so every entry can be stored.
    auto rates = protocolBaudrates();
    if (rates.empty())
        rates = presets;
    comboResetContent(idBaudCombo);
    for (const auto& rate : rates)
        comboAddEntry(idBaudCombo, rate);
    if (!comboSelectText(idBaudCombo, owner->getBaudrateText()))
        comboSelectEntry(idBaudCombo, rates.empty() ? -1 : 0);
}

void ParameterDialogBase::storeBaudCombo()
{
    const std::string rate = comboSelectedText(idBaudCombo);
    if (!rate.empty() && !owner->setBaudrateText(rate))
        commonbase::DbgInfo(2, __FILE__, cat("baud rate '", rate, "' not taken"));
}

void ParameterDialogBase::loadAddress()
{
    spinBoxSetRange(idAddressSpin, static_cast<int>(scanMinimum()), static_cast<int>(scanMaximum()));
    itemSetText(idAddressEdit, std::to_string(owner->getDeviceAddress()));
}

void ParameterDialogBase::storeAddress()
{
    std::int64_t address = 0;
    if (itemGetNumber(idAddressEdit, address) && address >= 0)
        owner->setDeviceAddress(static_cast<std::uint32_t>(address));
}

} // namespace Kavrel
