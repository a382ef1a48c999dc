#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "commonbase/EventDispatcher.h"
#include "commonbase/MajorMinorProcess.h"
#include "commonbase/Thread.h"
#include "flashtools/FlashException.h"

namespace Kavrel {

class FlashData;
class FlashApiData;
class FlashProtocol;

// Progress of one download: the step reached (major counter 0..13), the outcome
// and whether the step reports minor progress.
class FlashProcessState : public commonbase::MajorMinorProcess {
public:
    enum FlashState : std::int32_t {
        NoFlash = 0, Starting, Prepaired, Requested, ApiPrepaired, ApiSending, ApiSend, ApiFinished,
        EraseSectionCommandSend, ErasingSections, ErasedAllSections, FlashDataSending, FlashDataSend, Finished
    };
    enum EndState : std::int32_t {
        NotStarted = 0, Running, FinishedSuccessfull, UserCancelInProgress, UserStopped, Stopped
    };

    FlashProcessState() : MajorMinorProcess(13, 100) {}

    std::int32_t getFlashState() const { return flashState; }
    std::int32_t getEndState() const { return endState; }
    bool hasMinorSteps() const { return minorSteps; }
    void setFlashStateField(std::int32_t s) { flashState = s; }
    void setEndStateField(std::int32_t s) { endState = s; }
    void setHasMinorSteps(bool flag) { minorSteps = flag; }

    // Names of the tables; empty for a value outside them.
    static std::string flashStateName(std::int32_t state);
    static std::string endStateName(std::int32_t state);

private:
    std::int32_t flashState = NoFlash;
    std::int32_t endState = NotStarted;
    bool minorSteps = false;
};

struct FlashProcessEvent {
    enum Reason : std::int32_t { MajorStep = 1, MinorStep = 2, EndChange = 3 };
    FlashProcessState state;
    std::int32_t reason = MajorStep;
};

struct FlashExceptionEvent {
    std::shared_ptr<const FlashException> exception;
};

using FlashProcessEventDispatcher = commonbase::EventDispatcher<FlashProcessEvent>;
using FlashExceptionEventDispatcher = commonbase::EventDispatcher<FlashExceptionEvent>;

// Runs one device's downloads, on its own thread or on the caller's, and
// reports every change of its state as an event. The state is changed under
// one lock; each event carries a copy taken under it and is fired outside it.
class FlashProcess : public FlashProcessEventDispatcher,
                     public FlashExceptionEventDispatcher,
                     public commonbase::Thread {
public:
    explicit FlashProcess(bool threaded);
    ~FlashProcess() override;

    // The three dispatchers' operations, told apart by their event type.
    using FlashProcessEventDispatcher::addListener;
    using FlashExceptionEventDispatcher::addListener;
    using commonbase::UserCancelEventDispatcher::addListener;
    using FlashProcessEventDispatcher::removeListener;
    using FlashExceptionEventDispatcher::removeListener;
    using commonbase::UserCancelEventDispatcher::removeListener;

    void setThreaded(bool flag) { threaded = flag; }
    bool isThreaded() const { return threaded; }

    // Starts a download; throws FlashException (12, 13, 17, 18, 21). With
    // threaded false it returns after the download and all its events.
    void flash(std::shared_ptr<FlashData> flashData, std::shared_ptr<FlashApiData> apiData,
               std::shared_ptr<FlashProtocol> protocol);
    // Cancel: end state 3 while not started or running, the protocol's cancel flag, the cancel event.
    void stop() override;
    // True from the start of a download until its routine has returned.
    bool isBusy() const { return busy.load(); }

    std::int32_t getEndState() const;
    FlashProcessState getState() const;
    std::int32_t getLastErrorCode() const;
    std::string getLastErrorString() const;

    // Progress, called by the protocol while it works.
    void setFlashState(std::int32_t state, bool hasMinor = false, bool resetMinor = false);
    void setFlashStateWithMinorSteps(std::int32_t state, std::int32_t minorTotal);
    void setMinorStepsTotal(std::int32_t total);
    void addMinorSteps(std::int32_t n);
    void setMinorStep(std::int32_t n);
    void setEndState(std::int32_t endState);

    // Removes a listener of either kind and returns once no event is being
    // delivered to it any more (from a handler of this process: at once).
    void removeListenerAndWait(commonbase::EventDispatcherListener<FlashProcessEvent>* progress,
                               commonbase::EventDispatcherListener<FlashExceptionEvent>* exceptions);

protected:
    void threadRoutine() override;

private:
    void routine();
    // Changes the state under the lock and fires one event with the copy.
    template <class Change>
    void change(std::int32_t reason, Change&& apply);
    void fire(const FlashProcessEvent& event);

    bool threaded;
    mutable std::mutex stateMutex;
    FlashProcessState state;
    std::shared_ptr<FlashData> flashData;
    std::shared_ptr<FlashApiData> apiData;
    std::shared_ptr<FlashProtocol> protocol;
    std::int32_t lastErrorCode = 0;
    std::string lastErrorText;
    std::atomic<bool> busy{false};
    std::recursive_mutex fireMutex; // held while an event is delivered
};

} // namespace Kavrel
