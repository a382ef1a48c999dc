#include "automation/IFlasherEvent.h"

namespace Kavrel {

void IFlasherEvent::onFlashException(std::int32_t, const std::string&) {}
void IFlasherEvent::onFlashProgressMajorStep(const std::shared_ptr<CFlashProgressState>&) {}
void IFlasherEvent::onFlashProgressMinorStep(const std::shared_ptr<CFlashProgressState>&) {}
void IFlasherEvent::onFlashProgressEndChange(const std::shared_ptr<CFlashProgressState>&) {}
void IFlasherEvent::onFlashProgressStateChange(std::int32_t, const std::shared_ptr<CFlashProgressState>&) {}
void IFlasherEvent::onFlasherChange(std::int32_t) {}

} // namespace Kavrel
