#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "automation/HResult.h"

namespace Kavrel {

class IDebugManager;
class IFieldbusInterface;
class IIdentificationTransformer;
class IInterfaceInfo;

// The root object of the automation surface.
class ICommunicationManager {
public:
    virtual ~ICommunicationManager() = default;
    virtual HRESULT get_versionstring(std::string& value) = 0;
    virtual HRESULT get_protocolname(std::string& value) = 0;
    virtual HRESULT put_protocolname(const std::string& value) = 0;
    virtual HRESULT get_numberOfInterfaceInfos(const std::string& protocolname, std::int32_t& count) = 0;
    virtual HRESULT create_emptyFieldbusInterface(std::shared_ptr<IFieldbusInterface>& fieldbusInterface) = 0;
    virtual HRESULT get_numberOfFieldbusInterfaces(std::int32_t& count) = 0;
    virtual HRESULT get_dataPath(std::string& value) = 0;
    virtual HRESULT put_dataPath(const std::string& value) = 0;
    virtual HRESULT get_DebugManager(std::shared_ptr<IDebugManager>& debugManager) = 0;
    virtual HRESULT get_numberOfFieldbusProtocols(std::int32_t& count) = 0;
    virtual HRESULT get_fieldbusProtocolName(std::int32_t protocolNumber, std::string& name) = 0;
    virtual HRESULT get_lastSettingsPath(std::string& value) = 0;
    virtual HRESULT put_lastSettingsPath(const std::string& value) = 0;
    virtual HRESULT get_errorTextFor(std::int32_t errorNumber, std::string& text) = 0;
    virtual HRESULT get_interfaceInfo(std::int32_t interfaceInfoNumber, std::shared_ptr<IInterfaceInfo>& info) = 0;
    virtual HRESULT create_emptyNetworkScanFieldbusInterface(std::shared_ptr<IFieldbusInterface>& fieldbusInterface) = 0;
    virtual HRESULT displaySelectProtocolDialog(const std::string& pathTranslationFile, std::string& protocolName) = 0;
    // A snapshot of the registered interfaces that have an automation object.
    virtual HRESULT get__NewEnum(std::vector<std::shared_ptr<IFieldbusInterface>>& interfaces) = 0;
    virtual HRESULT put_SettingsFileKey(const std::string& value) = 0;
    virtual HRESULT get_lastSettingsFileName(std::string& value) = 0;
    virtual HRESULT put_lastSettingsFileName(const std::string& value) = 0;
    virtual HRESULT cloneSettingsToFile(const std::string& fileName) = 0;
    virtual HRESULT get_numberOfNetworkscanProtocols(std::int32_t& count) = 0;
    virtual HRESULT get_networkscanProtocolName(std::int32_t protocolNumber, std::string& name) = 0;
    virtual HRESULT create_IdentificationTransformer(std::shared_ptr<IIdentificationTransformer>& transformer) = 0;
};

} // namespace Kavrel
