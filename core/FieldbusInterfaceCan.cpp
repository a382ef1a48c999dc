#include "core/FieldbusInterfaceCan.h"

#include <algorithm>
#include <cctype>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/HardwareInterfaceLister.h"
#include "hardware/HardwareInterfaceIxxatCan.h"
#include "hardware/HardwareInterfacePeakCan.h"

namespace Kavrel {

FieldbusInterfaceCan::FieldbusInterfaceCan(const std::string& protocolName, bool networkScan)
    : FieldbusInterface(protocolName, networkScan)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("FieldbusInterfaceCan('", protocolName, "')"));
    HardwareInterfaceList adapters;
    if (listHardwareInterfaces<HardwareInterfacePeakCan>(adapters, "the PEAK CAN adapter") < 0)
        commonbase::DbgInfo(2, __FILE__, "no PEAK CAN adapters could be listed");
    if (listHardwareInterfaces<HardwareInterfaceIxxatCan>(adapters, "the IXXAT CAN adapter") < 0)
        commonbase::DbgInfo(2, __FILE__, "no IXXAT CAN adapters could be listed");
    addHardwareInterfaces(std::move(adapters));
    makeParameterDialog();
    FieldbusInterfaceCan::readSettings();
}

FieldbusInterfaceCan::~FieldbusInterfaceCan()
{
    stopWorkers();
}

std::string FieldbusInterfaceCan::getCommunicationParameters()
{
    std::string text = FieldbusInterface::getCommunicationParameters();
    // An adapter still at rate 0 waits for AUTO to find one.
    if (text == "0")
        text = getBaudrateText();
    const bool number = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    return number ? text + "k" : text;
}

} // namespace Kavrel
