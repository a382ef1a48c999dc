#include "automation/CCommunicationManagerBase.h"

#include "automation/ErrorInfo.h"
#include "commonbase/ErrorHandler.h"

namespace Kavrel {

CCommunicationManagerBase::CCommunicationManagerBase()
{
    commonbase::ErrorHandler::instance().registerErrorCode(0x201);
}

HRESULT CCommunicationManagerBase::updateErrorMessage(HRESULT hr)
{
    return ErrorInfo::update(hr, "ICommunicationManager");
}

} // namespace Kavrel
