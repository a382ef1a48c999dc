// 1-based numbers, snapshots and the objects the surface hands out again.
#include <gtest/gtest.h>

#include "automation/CCommunicationManager.h"
#include "automation/IFieldbusDeviceList.h"
#include "automation/IIdentificationTransformer.h"
#include "automation_fixtures.h"

using namespace Kavrel;
using kavreltest::FakeBus;

namespace {

std::int32_t idOf(const std::shared_ptr<IFieldbusDevice>& device)
{
    std::int32_t id = -1;
    if (device)
        device->get_uniqueId(id);
    return id;
}

using Numbered = std::tuple<std::int32_t, HRESULT, std::int32_t>; // number, result, device id

} // namespace

TEST(AutomationIndexes, ManagerNumbersProtocolsFromOneAndIsOneObject)
{
    auto manager = CCommunicationManager::create();
    std::int32_t known = 0, scan = 0;
    ASSERT_EQ(manager->get_numberOfFieldbusProtocols(known), S_OK);
    ASSERT_EQ(manager->get_numberOfNetworkscanProtocols(scan), S_OK);
    EXPECT_EQ(std::pair(known, scan), std::pair(6, 5));
    const std::tuple<std::int32_t, const char*, const char*> rows[] = {
        {-1, "", ""}, {0, "", ""}, {1, "ModbusRS485", "ModbusRS485"}, {5, "CanOpen_KVX", "CanOpen_KVX"},
        {6, "ModbusTCP", ""}, {7, "", ""}};
    for (const auto& [number, protocol, networkScan] : rows) {
        std::string name = "stale", scanName = "stale";
        EXPECT_EQ(manager->get_fieldbusProtocolName(number, name), S_OK);
        EXPECT_EQ(manager->get_networkscanProtocolName(number, scanName), S_OK);
        EXPECT_EQ(name + "|" + scanName, std::string(protocol) + "|" + networkScan) << number;
    }
    EXPECT_EQ(CCommunicationManager::create().get(), manager.get());
    std::shared_ptr<IIdentificationTransformer> a, b;
    ASSERT_EQ(manager->create_IdentificationTransformer(a), S_OK);
    ASSERT_EQ(CCommunicationManager::create()->create_IdentificationTransformer(b), S_OK);
    EXPECT_EQ(a.get(), b.get());
    std::string unchanged;
    ASSERT_EQ(a->transformVendorName("Nobody Ltd", unchanged), S_OK);
    EXPECT_EQ(unchanged, "Nobody Ltd");
}

TEST(AutomationIndexes, DevicesByIndexAreOneBasedAndTheEnumeratorIsASnapshot)
{
    FakeBus bus(4);
    std::vector<std::shared_ptr<IFieldbusDevice>> held;
    for (std::int32_t id : {3, 1})
        held.push_back(bus.connect(id));
    std::vector<std::shared_ptr<IFieldbusDevice>> snapshot;
    ASSERT_EQ(bus.twin->get__NewEnum(snapshot), S_OK);
    held.push_back(bus.connect(4));
    ASSERT_EQ(snapshot.size(), 2u) << "a later connect does not change a taken snapshot";
    EXPECT_EQ(std::pair(idOf(snapshot[0]), idOf(snapshot[1])), std::pair(3, 1)) << "in connection order";
    std::int32_t count = 0;
    ASSERT_EQ(bus.twin->get_numberOfFieldbusDevices(count), S_OK);
    ASSERT_EQ(count, 3);
    for (const auto& [index, hr, id] : {Numbered{0, E_FAIL, -1}, {1, S_OK, 3}, {2, S_OK, 1}, {3, S_OK, 4},
                                        {4, E_FAIL, -1}, {-2, E_FAIL, -1}}) {
        std::shared_ptr<IFieldbusDevice> device;
        EXPECT_EQ(bus.twin->get_fieldbusDeviceByIndex(index, device), hr) << index;
        EXPECT_EQ(idOf(device), id) << index;
        if (device) {
            EXPECT_EQ(device.get(), held[static_cast<std::size_t>(index - 1)].get()) << "the same twin again";
        }
    }
    std::shared_ptr<IFieldbusDevice> byId;
    ASSERT_EQ(bus.twin->get_fieldbusDevice(4, byId), S_OK);
    EXPECT_EQ(byId.get(), held[2].get());
}

TEST(AutomationIndexes, ManagerEnumeratorListsTheInterfacesItMade)
{
    auto manager = CCommunicationManager::create();
    std::int32_t before = 0, during = 0, after = 0;
    manager->get_numberOfFieldbusInterfaces(before);
    auto bus = CCommunicationManager::adopt(std::make_unique<kavreltest::FakeInterface>());
    manager->get_numberOfFieldbusInterfaces(during);
    EXPECT_EQ(during, before + 1);
    std::vector<std::shared_ptr<IFieldbusInterface>> interfaces;
    ASSERT_EQ(manager->get__NewEnum(interfaces), S_OK);
    ASSERT_FALSE(interfaces.empty());
    EXPECT_EQ(interfaces.back().get(), bus.get());
    interfaces.clear();
    bus.reset();
    manager->get_numberOfFieldbusInterfaces(after);
    EXPECT_EQ(after, before) << "releasing the interface removes it from the manager";
}

TEST(AutomationIndexes, RangeCallsPutThePreviousScanRangeBackAndDeviceListsConnect)
{
    FakeBus bus(3);
    ASSERT_EQ(bus.twin->put_scanRange("5-9"), S_OK);
    std::vector<std::int32_t> ids;
    ASSERT_EQ(bus.twin->get_RangeIds("1,3-5,20", ids), S_OK);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 3, 4, 5, 20}));
    std::shared_ptr<IFieldbusDeviceList> list;
    ASSERT_EQ(bus.twin->get_DeviceList("2-3", list), S_OK);
    EXPECT_EQ(bus.twin->get_RangeIds("9-", ids), E_FAIL);
    std::string range, listRange;
    bus.twin->get_scanRange(range);
    EXPECT_EQ(range, "5-9") << "neither a range call nor a rejected text changes the scan range";
    std::int32_t count = 0;
    list->get_NumberOfDevices(count);
    list->get_Range(listRange);
    EXPECT_EQ(std::pair(count, listRange), std::pair(2, std::string("2-3")));

    std::vector<std::shared_ptr<IFieldbusDevice>> held;
    for (const auto& [number, hr, id] : {Numbered{0, E_FAIL, -1}, {1, S_OK, 2}, {2, S_OK, 3}, {3, E_FAIL, -1}}) {
        EXPECT_EQ(list->get_DeviceAtNumber(number, held.emplace_back()), hr) << number;
        EXPECT_EQ(idOf(held.back()), id) << number;
    }
    EXPECT_EQ(list->get_DeviceWithID(1, held.emplace_back()), S_OK) << "any id goes to the owning interface";
    EXPECT_EQ(idOf(held.back()), 1);
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 3);
}

TEST(AutomationIndexes, ReleasingTheLastDeviceClosesTheBus)
{
    FakeBus bus(2);
    auto one = bus.connect(1), two = bus.connect(2);
    ASSERT_EQ(bus.core->isBusOpen(), 1u);
    one.reset();
    std::int32_t count = 0;
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(std::pair(count, bus.core->isBusOpen()), std::pair(1, 1u));
    two.reset();
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(std::pair(count, bus.core->isBusOpen()), std::pair(0, 0u));
    EXPECT_EQ(bus.fake->closes.load(), 1);
    std::shared_ptr<IFieldbusDevice> device;
    EXPECT_EQ(static_cast<std::uint32_t>(bus.twin->get_fieldbusDevice(1, device)), 0x80040304u);
}

TEST(AutomationIndexes, ParameterArgumentsAreUnsignedSixteenBitAndDeviceTexts)
{
    FakeBus bus(1);
    auto device = bus.connect(1);
    ASSERT_TRUE(device);
    // 40000 and 65535 arrive as negative 16-bit numbers at the surface.
    ASSERT_EQ(device->set_Parameter(4, static_cast<std::int16_t>(40000), static_cast<std::int16_t>(65535),
                                    static_cast<std::int32_t>(0xCAFEF00Du)),
              S_OK);
    const auto w = bus.fake->writes().back();
    EXPECT_EQ(std::tuple(w.index, w.sub, w.size, w.value), std::tuple(40000, 65535, 4u, 0xCAFEF00Du));
    std::int32_t value = 0;
    ASSERT_EQ(device->get_Parameter(4, static_cast<std::int16_t>(40000), -1, value), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(value), 0xCAFEF00Du);
    std::string product, family;
    device->get_productCode(product);
    device->get_familyCode(family);
    EXPECT_EQ(product + " " + family, "VDX-2040-A VDX-204");
    bus.fake->setValue(1, 1, 7, 0x0203);
    std::int32_t compatibility = 0, flags = 0;
    device->get_flashCompatibilityValue(compatibility);
    device->put_ignoreErrors(1);
    device->get_ignoreErrors(flags);
    EXPECT_EQ(std::pair(compatibility, flags), std::pair(0x0203, 1));
}
