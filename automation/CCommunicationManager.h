#pragma once
#include <memory>
#include "automation/CCommunicationManagerBase.h"

namespace Kavrel {

class CFieldbusInterface;
class FieldbusInterface;

// The root automation object. Holds no state: every call goes to the
// process-wide communication manager. Every creation returns the same object.
class CCommunicationManager : public CCommunicationManagerBase {
public:
    static std::shared_ptr<CCommunicationManager> create();
    // Gives an interface an automation twin and registers it with the manager.
    static std::shared_ptr<CFieldbusInterface> adopt(std::unique_ptr<FieldbusInterface> fieldbusInterface);

    static constexpr HRESULT errorNoProtocol = kavrelError(0x701);
    static constexpr HRESULT errorNoInterface = kavrelError(0x702);

    HRESULT get_versionstring(std::string& value) override;
    HRESULT get_protocolname(std::string& value) override;
    HRESULT put_protocolname(const std::string& value) override;
    HRESULT get_numberOfInterfaceInfos(const std::string& protocolname, std::int32_t& count) override;
    HRESULT create_emptyFieldbusInterface(std::shared_ptr<IFieldbusInterface>& fieldbusInterface) override;
    HRESULT get_numberOfFieldbusInterfaces(std::int32_t& count) override;
    HRESULT get_dataPath(std::string& value) override;
    HRESULT put_dataPath(const std::string& value) override;
    HRESULT get_DebugManager(std::shared_ptr<IDebugManager>& debugManager) override;
    HRESULT get_numberOfFieldbusProtocols(std::int32_t& count) override;
    HRESULT get_fieldbusProtocolName(std::int32_t protocolNumber, std::string& name) override;
    HRESULT get_lastSettingsPath(std::string& value) override;
    HRESULT put_lastSettingsPath(const std::string& value) override;
    HRESULT get_errorTextFor(std::int32_t errorNumber, std::string& text) override;
    HRESULT get_interfaceInfo(std::int32_t interfaceInfoNumber, std::shared_ptr<IInterfaceInfo>& info) override;
    HRESULT create_emptyNetworkScanFieldbusInterface(std::shared_ptr<IFieldbusInterface>& fieldbusInterface) override;
    HRESULT displaySelectProtocolDialog(const std::string& pathTranslationFile, std::string& protocolName) override;
    HRESULT get__NewEnum(std::vector<std::shared_ptr<IFieldbusInterface>>& interfaces) override;
    HRESULT put_SettingsFileKey(const std::string& value) override;
    HRESULT get_lastSettingsFileName(std::string& value) override;
    HRESULT put_lastSettingsFileName(const std::string& value) override;
    HRESULT cloneSettingsToFile(const std::string& fileName) override;
    HRESULT get_numberOfNetworkscanProtocols(std::int32_t& count) override;
    HRESULT get_networkscanProtocolName(std::int32_t protocolNumber, std::string& name) override;
    HRESULT create_IdentificationTransformer(std::shared_ptr<IIdentificationTransformer>& transformer) override;

private:
    CCommunicationManager() = default;
    HRESULT createInterface(bool networkScan, std::shared_ptr<IFieldbusInterface>& fieldbusInterface);
};

} // namespace Kavrel
