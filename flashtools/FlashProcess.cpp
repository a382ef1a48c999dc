#include "flashtools/FlashProcess.h"

#include <map>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "flashtools/FlashProtocol.h"

namespace Kavrel {

using commonbase::cat;

std::string FlashProcessState::flashStateName(std::int32_t s)
{
    static const std::map<std::int32_t, std::string> names = {
        {0, "No Flash"}, {1, "Starting"}, {2, "PREPAIRED"}, {3, "REQUESTED"}, {4, "APIPREPAIRED"},
        {5, "APISENDING"}, {6, "APISEND"}, {7, "APIFINISHED"}, {8, "ERASESECTIONCOMMANDSEND"},
        {9, "ERASINGSECTIONS"}, {10, "ERASEDALLSECTIONS"}, {11, "FLASHDATASENDING"}, {12, "FLASHDATASEND"},
        {13, "FINISHED"}};
    auto it = names.find(s);
    return it == names.end() ? std::string() : it->second;
}

std::string FlashProcessState::endStateName(std::int32_t s)
{
    static const std::map<std::int32_t, std::string> names = {
        {0, "NOTSTARTED"}, {1, "RUNNING"}, {2, "FINISHED_SUCCESSFULL"}, {3, "USER_CANCEL_IN_PROGRESS"},
        {4, "USER_STOPPED"}, {5, "STOPPED"}};
    auto it = names.find(s);
    return it == names.end() ? std::string() : it->second;
}

FlashProcess::FlashProcess(bool threaded_) : threaded(threaded_) {}

FlashProcess::~FlashProcess()
{
    // The routine uses this object: it must have ended before the members go.
    join();
}

void FlashProcess::flash(std::shared_ptr<FlashData> flashData_, std::shared_ptr<FlashApiData> apiData_,
                         std::shared_ptr<FlashProtocol> protocol_)
{
    commonbase::Dbg dbg(0, __FILE__, "flash");
    if (busy.exchange(true))
        throw FlashException::fromReason(FlashReason::busy);
    // The last routine has ended; its thread may still be delivering the final
    // event. Wait for it, so that event comes before any of this download.
    join();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        state = FlashProcessState();
        lastErrorCode = 0;
        lastErrorText.clear();
        flashData = std::move(flashData_);
        apiData = std::move(apiData_);
        protocol = std::move(protocol_);
        std::int32_t missing = !flashData ? FlashReason::noFlashData
                               : !apiData ? FlashReason::noApiData
                               : !protocol ? FlashReason::noProtocol
                                           : 0;
        if (missing != 0) {
            busy = false;
            throw FlashException::fromReason(missing);
        }
    }
    if (!threaded) {
        routine();
        return;
    }
    if (!start()) {
        busy = false;
        throw FlashException::fromReason(FlashReason::threadStart);
    }
}

void FlashProcess::threadRoutine() { routine(); }

void FlashProcess::routine()
{
    commonbase::Dbg dbg(0, __FILE__, "threadRoutine");
    std::shared_ptr<FlashProtocol> p;
    std::shared_ptr<FlashData> data;
    std::shared_ptr<FlashApiData> api;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        p = protocol;
        data = flashData;
        api = apiData;
    }
    // 0 -> 1; a cancel that came in since flash() was called stays (3).
    change(FlashProcessEvent::EndChange, [](FlashProcessState& s) {
        if (s.getEndState() != FlashProcessState::NotStarted)
            return false;
        s.setEndStateField(FlashProcessState::Running);
        return true;
    });
    // The end state after the protocol has returned, decided under the lock.
    // The process is free again before the last event goes out, so a listener
    // may start the next download from it.
    auto settle = [this](bool success) {
        FlashProcessEvent event;
        bool changed = true;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            const std::int32_t e = state.getEndState();
            if (success && e == FlashProcessState::Running)
                state.setEndStateField(FlashProcessState::FinishedSuccessfull);
            else if (!success && e == FlashProcessState::UserCancelInProgress)
                state.setEndStateField(FlashProcessState::UserStopped);
            else if (!success && e == FlashProcessState::Running)
                state.setEndStateField(FlashProcessState::Stopped);
            else
                changed = false;
            event.state = state;
        }
        event.reason = FlashProcessEvent::EndChange;
        busy = false;
        if (changed)
            fire(event);
    };
    std::shared_ptr<const FlashException> failure;
    bool success = false;
    try {
        success = p->flash(data, api);
    } catch (const FlashException& e) {
        failure = std::shared_ptr<const FlashException>(e.clone());
    } catch (const std::exception& e) {
        failure = std::make_shared<FlashException>(FlashException::fromErrorId(FlashException::generalFailure, e.what()));
    }
    if (failure) {
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            lastErrorCode = static_cast<std::int32_t>(p->getLastErrorCode());
            lastErrorText = p->getLastErrorText();
        }
        commonbase::DbgInfo(3, __FILE__, [&] {
            return cat("0x", commonbase::toHex(static_cast<std::uint32_t>(failure->getErrorCode()), 8), ": ",
                       failure->getErrorText());
        });
        {
            std::lock_guard<std::recursive_mutex> delivering(fireMutex);
            FlashExceptionEventDispatcher::fireEvent(FlashExceptionEvent{failure});
        }
    }
    settle(success && !failure);
}

void FlashProcess::stop()
{
    commonbase::Dbg dbg(0, __FILE__, "stop");
    change(FlashProcessEvent::EndChange, [](FlashProcessState& s) {
        const std::int32_t e = s.getEndState();
        if (e != FlashProcessState::NotStarted && e != FlashProcessState::Running)
            return false;
        s.setEndStateField(FlashProcessState::UserCancelInProgress);
        return true;
    });
    std::shared_ptr<FlashProtocol> p;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        p = protocol;
    }
    if (p)
        p->raiseCancel();
    Thread::stop();
}

template <class Change>
void FlashProcess::change(std::int32_t reason, Change&& apply)
{
    FlashProcessEvent event;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if constexpr (std::is_same_v<decltype(apply(state)), bool>) {
            if (!apply(state))
                return;
        } else {
            apply(state);
        }
        event.state = state;
    }
    event.reason = reason;
    fire(event);
}

void FlashProcess::fire(const FlashProcessEvent& event)
{
    std::lock_guard<std::recursive_mutex> delivering(fireMutex);
    FlashProcessEventDispatcher::fireEvent(event);
}

void FlashProcess::removeListenerAndWait(commonbase::EventDispatcherListener<FlashProcessEvent>* progress,
                                         commonbase::EventDispatcherListener<FlashExceptionEvent>* exceptions)
{
    if (progress)
        FlashProcessEventDispatcher::removeListener(progress);
    if (exceptions)
        FlashExceptionEventDispatcher::removeListener(exceptions);
    // A delivery already under way ends before this returns.
    std::lock_guard<std::recursive_mutex> delivering(fireMutex);
}

std::int32_t FlashProcess::getEndState() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return state.getEndState();
}

FlashProcessState FlashProcess::getState() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return state;
}

std::int32_t FlashProcess::getLastErrorCode() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, [&] { return cat("getLastErrorCode() = ", lastErrorCode); });
    return lastErrorCode;
}

std::string FlashProcess::getLastErrorString() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, [&] { return cat("getLastErrorString() = ", lastErrorText); });
    return lastErrorText;
}

void FlashProcess::setFlashState(std::int32_t s, bool hasMinor, bool resetMinor)
{
    change(FlashProcessEvent::MajorStep, [&](FlashProcessState& st) {
        st.setFlashStateField(s);
        st.major().setCurrent(s);
        if (hasMinor && resetMinor)
            st.setMinor(commonbase::MajorMinorProcess::Counter(0, 100));
        st.setHasMinorSteps(hasMinor);
    });
}

void FlashProcess::setFlashStateWithMinorSteps(std::int32_t s, std::int32_t minorTotal)
{
    change(FlashProcessEvent::MajorStep, [&](FlashProcessState& st) {
        st.setFlashStateField(s);
        st.major().setCurrent(s);
        st.setMinor(commonbase::MajorMinorProcess::Counter(0, minorTotal));
        st.setHasMinorSteps(true);
    });
}

void FlashProcess::setMinorStepsTotal(std::int32_t total)
{
    change(FlashProcessEvent::MinorStep, [&](FlashProcessState& st) {
        st.setMinor(commonbase::MajorMinorProcess::Counter(0, total));
        st.setHasMinorSteps(true);
    });
}

void FlashProcess::addMinorSteps(std::int32_t n)
{
    change(FlashProcessEvent::MinorStep, [&](FlashProcessState& st) { st.addToMinorCurrent(n); });
}

void FlashProcess::setMinorStep(std::int32_t n)
{
    change(FlashProcessEvent::MinorStep, [&](FlashProcessState& st) { st.setMinorCurrent(n); });
}

void FlashProcess::setEndState(std::int32_t e)
{
    change(FlashProcessEvent::EndChange, [&](FlashProcessState& st) { st.setEndStateField(e); });
}

} // namespace Kavrel
