#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "automation/CFlashObjects.h"
#include "automation/ConnectionPoint.h"
#include "automation/HResult.h"
#include "automation/IFlasherEvent.h"
#include "flashtools/FlasherFacade.h"

namespace Kavrel {

class IFieldbusDevice;
class FieldbusDevice;

// The automation object of the firmware download: owns one facade, listens
// to it and to the flash process of each device it flashed, and fires the
// flasher events. Every failure comes back as an error code; getErrorText
// gives its text later.
class CFlasher : public commonbase::EventDispatcherListener<FlashProcessEvent>,
                 public commonbase::EventDispatcherListener<FlashExceptionEvent>,
                 public commonbase::EventDispatcherListener<FlasherChangeEvent> {
public:
    static std::shared_ptr<CFlasher> create();
    ~CFlasher() override;
    CFlasher(const CFlasher&) = delete;
    CFlasher& operator=(const CFlasher&) = delete;

    HRESULT setFlashData(const std::string& fileName);
    HRESULT setDefaultFlashApiData(const std::string& fileName);
    // wait 0: the download runs on the flash thread; otherwise on this one,
    // with every event delivered before the call returns.
    HRESULT flashDevice(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t checkFirst, std::int32_t wait);
    // S_OK with value 1 when the flash data fit the device and a loader is set, 0 otherwise.
    HRESULT checkCompatibility(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t& value);
    HRESULT showFlashDataContentsPrepair(std::int32_t& value);
    HRESULT showFlashDataContents(const std::string& unused, std::int32_t number, std::string& value);
    HRESULT cancelFlash(const std::shared_ptr<IFieldbusDevice>& device);
    HRESULT getLastEventFlashState(std::shared_ptr<CFlashProgressState>& value);
    HRESULT getFlashProgressState(std::shared_ptr<CFlashProgressState>& value);
    HRESULT getFlashDataFilename(std::string& value);
    HRESULT getFlashApiFilename(std::string& value);
    HRESULT hasFlashData(std::int32_t& value);
    HRESULT hasFlashApiData(std::int32_t& value);
    HRESULT getFlashDataHeaderInfo(std::shared_ptr<CFlashDataHeaderInfo>& value);
    HRESULT setFlashApiData(const std::string& fileName);
    HRESULT getDefaultFlashApiDataFilename(std::string& value);
    HRESULT getFlashApiDataIconFileName(std::string& value);
    HRESULT getFlasherApiFileFinder(std::shared_ptr<CFlasherApiFileFinder>& value);
    HRESULT getErrorText(std::int32_t hr, std::string& value);
    HRESULT removeFlashData();
    HRESULT removeFlashApiData();
    HRESULT resetDefaultFlashApiData();
    HRESULT get_FlashProtocolSettingsList(std::shared_ptr<CFlashProtocolSettingsList>& value);
    HRESULT get_FlashApiPath(std::string& value);
    HRESULT put_FlashApiPath(const std::string& value);

    // The protocol whose settings pick the default loader (empty: the manager's current one).
    void setProtocolName(const std::string& name) { facade->setProtocolName(name); }
    FlasherFacade& getFacade() { return *facade; }
    // The code of the failure that ended the last download started here; 0 when none did.
    std::int32_t getLastDownloadErrorCode();

    HRESULT advise(const std::shared_ptr<IFlasherEvent>& sink, std::uint32_t& cookie) { return events.advise(sink, cookie); }
    HRESULT unadvise(std::uint32_t cookie) { return events.unadvise(cookie); }

    void handleEvent(const FlashProcessEvent& event) override;
    void handleEvent(const FlashExceptionEvent& event) override;
    void handleEvent(const FlasherChangeEvent& event) override;

private:
    CFlasher();
    static FieldbusDevice* coreOf(const std::shared_ptr<IFieldbusDevice>& device);
    HRESULT fail(const FlashException& e);
    template <class Call>
    HRESULT run(const char* name, Call&& call);
    void listenTo(const std::shared_ptr<FlashProcess>& process);

    std::shared_ptr<FlasherFacade> facade;
    ConnectionPoint<IFlasherEvent> events;
    std::mutex mutex; // the maps and the last event state
    std::map<std::int32_t, std::shared_ptr<const FlashException>> lastFlashExceptions;
    std::optional<FlashProcessState> lastEventState;
    std::vector<std::weak_ptr<FlashProcess>> processes;
    std::weak_ptr<FlashProcess> lastProcess;
    std::int32_t lastDownloadErrorCode = 0;
    std::string contents;
};

} // namespace Kavrel
