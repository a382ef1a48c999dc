#include "dialogs/RangeDialog.h"
#include "commonbase/Dbg.h"

namespace Kavrel {

RangeDialog::RangeDialog(FieldbusInterface* owner_) : owner(owner_) {}
RangeDialog::~RangeDialog() = default;

std::int32_t RangeDialog::displayDialog(std::uint32_t)
{
    commonbase::Dbg dbg(0, __FILE__, "displayDialog");
    return 2; // headless: nothing to confirm, the caller keeps its text
}

} // namespace Kavrel
