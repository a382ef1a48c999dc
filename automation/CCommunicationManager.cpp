#include "automation/CCommunicationManager.h"

#include <mutex>
#include <utility>

#include "automation/CDebugManager.h"
#include "automation/CFieldbusInterface.h"
#include "automation/CIdentificationTransformer.h"
#include "automation/CInterfaceInfo.h"
#include "automation/ErrorInfo.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "dialogs/SelectProtocolDialog.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

namespace {
constexpr const char* component = "CCommunicationManager";
void enter(const std::string& text) { commonbase::DbgInfo(0, component, text); }
CommunicationManager& manager() { return CommunicationManager::getInstance(); }
} // namespace

std::shared_ptr<CCommunicationManager> CCommunicationManager::create()
{
    static std::mutex mutex;
    static std::shared_ptr<CCommunicationManager> single;
    std::lock_guard<std::mutex> lock(mutex);
    if (!single) {
        manager(); // the core comes first: it loads the error texts our codes need
        single.reset(new CCommunicationManager);
    }
    return single;
}

std::shared_ptr<CFieldbusInterface> CCommunicationManager::adopt(std::unique_ptr<FieldbusInterface> fieldbusInterface)
{
    FieldbusInterface* raw = fieldbusInterface.get();
    auto twin = CFieldbusInterface::create(std::move(fieldbusInterface));
    if (twin)
        manager().addFieldbusInterface(raw);
    return twin;
}

HRESULT CCommunicationManager::get_versionstring(std::string& value)
{
    enter("get_versionstring");
    value = manager().getVersionString();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_protocolname(std::string& value)
{
    enter("get_protocolname");
    value = manager().getProtocolName();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::put_protocolname(const std::string& value)
{
    enter(cat("put_protocolname(", value, ")"));
    manager().setProtocolName(value);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_numberOfInterfaceInfos(const std::string& protocolname, std::int32_t& count)
{
    enter(cat("get_numberOfInterfaceInfos(", protocolname, ")"));
    count = static_cast<std::int32_t>(manager().getNumberOfInterfaceInfos(protocolname));
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::createInterface(bool networkScan, std::shared_ptr<IFieldbusInterface>& fieldbusInterface)
{
    if (manager().getProtocolName().empty())
        return updateErrorMessage(errorNoProtocol);
    std::shared_ptr<CFieldbusInterface> twin;
    try {
        twin = adopt(manager().createInterface(networkScan));
    } catch (const std::bad_alloc&) {
        return updateErrorMessage(E_OUTOFMEMORY);
    }
    if (!twin)
        return updateErrorMessage(errorNoInterface);
    fieldbusInterface = std::move(twin);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::create_emptyFieldbusInterface(std::shared_ptr<IFieldbusInterface>& fieldbusInterface)
{
    enter("create_emptyFieldbusInterface");
    return createInterface(false, fieldbusInterface);
}

HRESULT CCommunicationManager::create_emptyNetworkScanFieldbusInterface(
    std::shared_ptr<IFieldbusInterface>& fieldbusInterface)
{
    enter("create_emptyNetworkScanFieldbusInterface");
    return createInterface(true, fieldbusInterface);
}

HRESULT CCommunicationManager::get_numberOfFieldbusInterfaces(std::int32_t& count)
{
    enter("get_numberOfFieldbusInterfaces");
    count = static_cast<std::int32_t>(manager().getNumberOfFieldusInterfaces());
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_dataPath(std::string& value)
{
    enter("get_dataPath");
    value = manager().getDataPath();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::put_dataPath(const std::string& value)
{
    enter(cat("put_dataPath(", value, ")"));
    if (!manager().setDataPath(value))
        commonbase::DbgInfo(2, component, "the error texts could not be reloaded");
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_DebugManager(std::shared_ptr<IDebugManager>& debugManager)
{
    enter("get_DebugManager");
    if (manager().getDataPath().empty())
        return updateErrorMessage(errorNoDataPath);
    debugManager = std::make_shared<CDebugManager>();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_numberOfFieldbusProtocols(std::int32_t& count)
{
    enter("get_numberOfFieldbusProtocols");
    count = static_cast<std::int32_t>(FieldbusProtocol::getKnownProtocols().size());
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_fieldbusProtocolName(std::int32_t protocolNumber, std::string& name)
{
    enter(cat("get_fieldbusProtocolName(", protocolNumber, ")"));
    name = CommunicationManager::fieldbusProtocolName(protocolNumber);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_numberOfNetworkscanProtocols(std::int32_t& count)
{
    enter("get_numberOfNetworkscanProtocols");
    count = static_cast<std::int32_t>(FieldbusProtocol::getNetworkscanProtocols().size());
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_networkscanProtocolName(std::int32_t protocolNumber, std::string& name)
{
    enter(cat("get_networkscanProtocolName(", protocolNumber, ")"));
    name = CommunicationManager::networkscanProtocolName(protocolNumber);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_lastSettingsPath(std::string& value)
{
    enter("get_lastSettingsPath");
    value = manager().getLastSettingsPath();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::put_lastSettingsPath(const std::string& value)
{
    enter(cat("put_lastSettingsPath(", value, ")"));
    manager().setLastSettingsPath(value);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_lastSettingsFileName(std::string& value)
{
    enter("get_lastSettingsFileName");
    value = manager().getLastSettingsFileName();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::put_lastSettingsFileName(const std::string& value)
{
    enter(cat("put_lastSettingsFileName(", value, ")"));
    manager().setLastSettingsFileName(value);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::put_SettingsFileKey(const std::string& value)
{
    enter(cat("put_SettingsFileKey(", value, ")"));
    manager().setSettingsFileKey(value);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::cloneSettingsToFile(const std::string& fileName)
{
    enter(cat("cloneSettingsToFile(", fileName, ")"));
    return updateErrorMessage(manager().cloneSettingsToFile(fileName) ? S_OK : E_FAIL);
}

HRESULT CCommunicationManager::get_errorTextFor(std::int32_t errorNumber, std::string& text)
{
    enter(cat("get_errorTextFor(", errorNumber, ")"));
    text = ErrorInfo::textFor(errorNumber);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get_interfaceInfo(std::int32_t interfaceInfoNumber, std::shared_ptr<IInterfaceInfo>& info)
{
    enter(cat("get_interfaceInfo(", interfaceInfoNumber, ")"));
    // A temporary interface of the selected protocol lists what can be chosen.
    auto lister = CommunicationManager::makeInterface(manager().getProtocolName(), false);
    if (!lister)
        return updateErrorMessage(E_FAIL);
    const auto infos = lister->getInterfaceInfos();
    lister.reset();
    if (interfaceInfoNumber < 1 || static_cast<std::size_t>(interfaceInfoNumber) > infos.size())
        return updateErrorMessage(E_FAIL);
    info = std::make_shared<CInterfaceInfo>(infos[static_cast<std::size_t>(interfaceInfoNumber) - 1]);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::displaySelectProtocolDialog(const std::string& pathTranslationFile,
                                                           std::string& protocolName)
{
    enter(cat("displaySelectProtocolDialog(", pathTranslationFile, ")"));
    // Without a dialog backend nothing can be confirmed.
    SelectProtocolDialog dialog(pathTranslationFile);
    if (dialog.displayDialog(5) != 1)
        return updateErrorMessage(E_FAIL);
    protocolName = dialog.getSelectedProtocol();
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::get__NewEnum(std::vector<std::shared_ptr<IFieldbusInterface>>& interfaces)
{
    enter("get__NewEnum");
    std::vector<std::shared_ptr<IFieldbusInterface>> snapshot;
    const std::uint32_t count = manager().getNumberOfFieldusInterfaces();
    for (std::uint32_t i = 0; i < count; ++i)
        if (FieldbusInterface* known = manager().getFieldbusInterface(i))
            if (auto twin = known->getRelatedComInterface())
                snapshot.push_back(std::move(twin));
    interfaces = std::move(snapshot);
    return updateErrorMessage(S_OK);
}

HRESULT CCommunicationManager::create_IdentificationTransformer(std::shared_ptr<IIdentificationTransformer>& transformer)
{
    enter("create_IdentificationTransformer");
    auto twin = CIdentificationTransformer::twinOf(manager().getIdentificationTransformer());
    if (!twin)
        return updateErrorMessage(E_FAIL);
    transformer = std::move(twin);
    return updateErrorMessage(S_OK);
}

} // namespace Kavrel
