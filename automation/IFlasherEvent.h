#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace Kavrel {

class CFlashProgressState;

// Events of a flasher. Progress and exception events come on the flash
// thread (or on the caller's, for a download that runs there); the change
// event on the thread that changed the files. A sink overrides what it wants
// and must not block: the download waits for it.
class IFlasherEvent {
public:
    virtual ~IFlasherEvent() = default;
    virtual void onFlashException(std::int32_t errorcode, const std::string& errormessage);
    virtual void onFlashProgressMajorStep(const std::shared_ptr<CFlashProgressState>& event);
    virtual void onFlashProgressMinorStep(const std::shared_ptr<CFlashProgressState>& event);
    virtual void onFlashProgressEndChange(const std::shared_ptr<CFlashProgressState>& event);
    virtual void onFlashProgressStateChange(std::int32_t reason, const std::shared_ptr<CFlashProgressState>& event);
    virtual void onFlasherChange(std::int32_t call);
};

} // namespace Kavrel
