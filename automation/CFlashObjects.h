#pragma once
// The small automation objects of the firmware download: snapshots of a
// progress state and of a flash data header, the loader-file finder and the
// per-protocol flash settings. An object that holds nothing answers every
// call with the error code of its reason.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "automation/HResult.h"
#include "flashtools/FlashDataHeader.h"
#include "flashtools/FlashProcess.h"

namespace Kavrel {

class FlashApiFileNameFinder;
class FlashProtocolSettings;
class FlashProtocolSettingsList;
class FlashProtocolSettingsModbusRTU;

// Turns a FlashException into its code, logged and kept for the thread's error information.
HRESULT flashFailure(const FlashException& e, const char* source);

class CFlashProgressState {
public:
    explicit CFlashProgressState(std::optional<FlashProcessState> state = std::nullopt) : state(std::move(state)) {}
    HRESULT getFlashState(std::int32_t& value);
    HRESULT getEndState(std::int32_t& value);
    HRESULT getFlashProcessMajorSteps(std::int32_t& step, std::int32_t& maxstep);
    HRESULT getFlashProcessMinorSteps(std::int32_t& step, std::int32_t& maxstep);
    // Reports the state's own field.
    HRESULT hasMinorSteps(std::int32_t& value);
    HRESULT getFlashStateName(std::string& value);
    HRESULT getEndStateName(std::string& value);

private:
    HRESULT read(const char* name);
    std::optional<FlashProcessState> state;
};

class CFlashDataHeaderInfo {
public:
    explicit CFlashDataHeaderInfo(std::optional<FlashDataHeader> header = std::nullopt) : header(std::move(header)) {}
    HRESULT getDate(std::string& value);
    HRESULT getApiEntry(std::string& value);
    HRESULT getProgVersion(std::int32_t& value);
    HRESULT getVersion(std::int32_t& value);
    HRESULT getVersionString(std::string& value);
    HRESULT getProgVersionString(std::string& value);

private:
    HRESULT read(const char* name);
    std::optional<FlashDataHeader> header;
};

class CFlasherApiFileFinder {
public:
    explicit CFlasherApiFileFinder(std::shared_ptr<FlashApiFileNameFinder> finder = nullptr) : finder(std::move(finder)) {}
    HRESULT get_ApiFileFormatString(std::string& value);
    HRESULT put_ApiFileFormatString(const std::string& value);
    HRESULT get_IconFileFormatString(std::string& value);
    HRESULT put_IconFileFormatString(const std::string& value);
    HRESULT get_PATH(std::string& value);
    HRESULT put_PATH(const std::string& value);
    HRESULT get_DataHeaderApiNameFormatString(std::string& value);
    HRESULT get_ResultApiFileName(std::string& value);
    HRESULT get_ResultIconName(std::string& value);
    HRESULT hasDataHeaderApiName(std::int32_t& value);

private:
    HRESULT use(const char* name);
    std::shared_ptr<FlashApiFileNameFinder> finder;
};

class CFlashProtocolSettings {
public:
    explicit CFlashProtocolSettings(std::shared_ptr<FlashProtocolSettings> settings = nullptr) : settings(std::move(settings)) {}
    HRESULT get_FlasherApiFileFinder(std::shared_ptr<CFlasherApiFileFinder>& value);
    // The erase time-out of this protocol's downloads, in milliseconds.
    HRESULT get_EraseTimeout(std::int32_t& value);
    HRESULT put_EraseTimeout(std::int32_t value);

protected:
    HRESULT use(const char* name);
    std::shared_ptr<FlashProtocolSettings> settings;
};

class CFlashProtocolSettingsModbusRTU : public CFlashProtocolSettings {
public:
    explicit CFlashProtocolSettingsModbusRTU(std::shared_ptr<FlashProtocolSettingsModbusRTU> settings = nullptr);
    HRESULT get_Baudrate(std::int32_t& value);
    HRESULT put_Baudrate(std::int32_t value);

private:
    std::shared_ptr<FlashProtocolSettingsModbusRTU> rtu;
};

class CFlashProtocolSettingsList {
public:
    explicit CFlashProtocolSettingsList(FlashProtocolSettingsList* list = nullptr, std::shared_ptr<void> owner = nullptr)
        : list(list), owner(std::move(owner)) {}
    HRESULT get_FlashProtocolSettings(const std::string& protocolname, std::shared_ptr<CFlashProtocolSettings>& value);
    HRESULT get_FlashProtocolSettingsModbusRTU(std::shared_ptr<CFlashProtocolSettingsModbusRTU>& value);

private:
    FlashProtocolSettingsList* list;
    std::shared_ptr<void> owner; // keeps the list's owner alive
};

} // namespace Kavrel
