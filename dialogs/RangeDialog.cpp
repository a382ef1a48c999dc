#include "dialogs/RangeDialog.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

RangeDialog::RangeDialog(FieldbusInterface* owner_) : AbstractDialog(templateId), owner(owner_) {}
RangeDialog::~RangeDialog() = default;

std::uint32_t RangeDialog::minimum() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    if (protocol)
        return protocol->getScanMinimum();
    return owner ? FieldbusProtocol::constantsFor(owner->getProtocolName()).scanMinimum : 0;
}

std::uint32_t RangeDialog::maximum() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    if (protocol)
        return protocol->getScanMaximum();
    return owner ? FieldbusProtocol::constantsFor(owner->getProtocolName()).scanMaximum : 0;
}

bool RangeDialog::isValidRange(const std::string& text) const
{
    return !FieldbusProtocol::splitRange(text, minimum(), maximum()).empty();
}

std::int32_t RangeDialog::displayDialog(std::uint32_t style)
{
    commonbase::Dbg dbg(0, __FILE__, cat("displayDialog(", style, ")"));
    return runModal();
}

void RangeDialog::OnInitDialog()
{
    AbstractDialog::OnInitDialog();
    itemLimitText(idRangeEdit, textLimit);
    itemSetText(idRangeEdit, rangeText);
    itemSetText(idMessage, "");
    OnPaint();
}

void RangeDialog::OnOK()
{
    commonbase::Dbg dbg(0, __FILE__, "OnOK");
    std::string text = itemGetText(idRangeEdit);
    if (text.size() > textLimit)
        text.resize(textLimit);
    text = commonbase::trim(text);
    if (!isValidRange(text)) {
        const std::string message = cat(translate("LABEL_RANGEERROR"), " ", minimum(), "-", maximum());
        itemSetText(idMessage, message);
        setStatusText(message);
        commonbase::DbgInfo(2, __FILE__, cat("range '", text, "' refused"));
        OnPaint();
        return; // stays open
    }
    rangeText = text;
    EndDialog(resultOk);
}

} // namespace Kavrel
