#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "commonbase/EventDispatcher.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashData.h"

namespace Kavrel {

class FieldbusDevice;

struct FlasherChangeEvent {
    enum Code : std::int32_t { ApiDataSet = 1, FlashDataSet = 2, DefaultApiFileNameSet = 4, ApiDataRemoved = 5,
                               FlashDataRemoved = 6 };
    std::int32_t code = 0;
};

// The front of the firmware download: the chosen image and loader, the
// default loader found through the protocol's finder, and downloads started,
// checked and cancelled on a device. Failures are thrown as FlashException.
class FlasherFacade : public commonbase::EventDispatcher<FlasherChangeEvent> {
public:
    FlasherFacade();

    void setFlashData(const std::string& fileName, bool keepApiData = false);
    void setFlashApiData(const std::string& fileName) { setFlashApiDataInternal(fileName, false, false); }
    void setFlashApiDataInternal(const std::string& fileName, bool isDefault, bool usedFinder);
    void setDefaultFlashApiData(const std::string& fileName);
    void resetDefaultFlashApiData();
    void removeFlashApiData();
    void removeFlashData();

    bool hasFlashData() const;
    bool hasFlashApiData() const;
    std::string getFlashDataFilename() const;
    std::string getFlashApiFilename() const;
    std::string getDefaultFlashApiDataFilename() const;
    bool isDefaultFlashApiData() const;
    std::shared_ptr<FlashData> getFlashData() const;
    std::shared_ptr<FlashApiData> getFlashApiData() const;
    // Reason 16 without flash data.
    FlashDataHeader getFlashDataHeader() const;
    // Reason 14 when none can be found.
    std::string getFlashApiDataIconFileName() const;
    // The finder of the protocol in use (the one the default loader is chosen with).
    std::shared_ptr<FlashApiFileNameFinder> getFinder();

    // The protocol whose settings choose the loader; empty: the manager's current one.
    void setProtocolName(const std::string& name);
    std::string getProtocolName() const;
    FlashProtocolSettingsList& getSettingsList() { return settingsList; }
    std::shared_ptr<FlashProtocolSettings> getSettings(const std::string& protocolName);

    // Both files are read whole here, on the caller's thread, before a telegram goes out.
    void flash(FieldbusDevice& device, bool checkFirst, bool threaded);
    // With checking set, missing data (12, 13) and a mismatch (11) throw instead of giving false.
    bool checkCompatibility(FieldbusDevice& device, bool checking = false);
    void cancel(FieldbusDevice& device);
    // "== FlashData ==", header and segments, "== Api Data ==", API segments.
    std::string contentsText();

private:
    void chooseDefaultApiData();
    void fire(std::int32_t code) { fireEvent(FlasherChangeEvent{code}); }

    mutable std::recursive_mutex mutex;
    std::shared_ptr<FlashData> flashData;
    std::shared_ptr<FlashApiData> apiData;
    std::shared_ptr<FlashApiFileNameFinder> usedFinder;
    std::string defaultApiFileName, flashDataFileName, apiFileName;
    bool apiIsDefault = false, apiFromFinder = false;
    std::string protocolName;
    FlashProtocolSettingsList settingsList;
};

} // namespace Kavrel
