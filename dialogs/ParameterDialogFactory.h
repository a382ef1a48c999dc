#pragma once
#include <memory>
#include <string>
#include "dialogs/ParameterDialogBase.h"

namespace Kavrel {

class FieldbusInterface;

// Makes the connection-parameter dialog of a protocol.
class ParameterDialogFactory {
public:
    static std::unique_ptr<ParameterDialogBase> create(const std::string& protocolName, bool networkScan,
                                                       FieldbusInterface* owner);
};

} // namespace Kavrel
