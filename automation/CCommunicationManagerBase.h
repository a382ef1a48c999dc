#pragma once
#include "automation/ICommunicationManager.h"

namespace Kavrel {

// What every manager object shares: its error codes and the error information of its calls.
class CCommunicationManagerBase : public ICommunicationManager {
public:
    static constexpr HRESULT errorNoDataPath = kavrelError(0x201);

    CCommunicationManagerBase();

protected:
    static HRESULT updateErrorMessage(HRESULT hr);
};

} // namespace Kavrel
