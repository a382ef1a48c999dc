// 1-based numbers, snapshots and the objects the surface hands out again.
#include <gtest/gtest.h>

#include "automation/CCommunicationManager.h"
#include "automation/IFieldbusDeviceList.h"
#include "automation/IIdentificationTransformer.h"
#include "automation/IInterfaceInfo.h"
#include "automation_fixtures.h"
#include "protocols/FieldbusProtocol.h"

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

} // namespace

TEST(AutomationIndexes, ProtocolNamesAreOneBasedAndEmptyOutside)
{
    auto manager = CCommunicationManager::create();
    const auto known = FieldbusProtocol::getKnownProtocols();
    const auto scan = FieldbusProtocol::getNetworkscanProtocols();
    std::int32_t count = 0;
    ASSERT_EQ(manager->get_numberOfFieldbusProtocols(count), S_OK);
    ASSERT_EQ(static_cast<std::size_t>(count), known.size());
    ASSERT_EQ(manager->get_numberOfNetworkscanProtocols(count), S_OK);
    ASSERT_EQ(static_cast<std::size_t>(count), scan.size());

    struct Row {
        std::int32_t number;
        std::string protocol, networkScan;
    };
    const std::int32_t n = static_cast<std::int32_t>(known.size());
    const std::int32_t m = static_cast<std::int32_t>(scan.size());
    const std::vector<Row> rows = {
        {0, "", ""},
        {1, known.front(), scan.front()},
        {m, known[static_cast<std::size_t>(m - 1)], scan.back()},
        {n, known.back(), n <= m ? scan[static_cast<std::size_t>(n - 1)] : ""},
        {n + 1, "", n + 1 <= m ? scan[static_cast<std::size_t>(n)] : ""},
        {-1, "", ""},
    };
    for (const auto& row : rows) {
        std::string name = "stale", scanName = "stale";
        EXPECT_EQ(manager->get_fieldbusProtocolName(row.number, name), S_OK) << row.number;
        EXPECT_EQ(manager->get_networkscanProtocolName(row.number, scanName), S_OK) << row.number;
        EXPECT_EQ(name, row.protocol) << row.number;
        EXPECT_EQ(scanName, row.networkScan) << row.number;
    }
}

TEST(AutomationIndexes, ManagerIsOneObjectAndHandsOutTheSameTransformer)
{
    auto first = CCommunicationManager::create();
    auto second = CCommunicationManager::create();
    EXPECT_EQ(first.get(), second.get());
    std::shared_ptr<IIdentificationTransformer> a, b;
    ASSERT_EQ(first->create_IdentificationTransformer(a), S_OK);
    ASSERT_EQ(second->create_IdentificationTransformer(b), S_OK);
    EXPECT_EQ(a.get(), b.get());
    std::string unchanged;
    ASSERT_EQ(a->transformVendorName("Nobody Ltd", unchanged), S_OK);
    EXPECT_EQ(unchanged, "Nobody Ltd");
}

TEST(AutomationIndexes, DevicesByIndexAreOneBased)
{
    FakeBus bus(4);
    std::vector<std::shared_ptr<IFieldbusDevice>> held;
    for (std::int32_t id : {3, 1, 4})
        held.push_back(bus.connect(id));
    std::int32_t count = 0;
    ASSERT_EQ(bus.twin->get_numberOfFieldbusDevices(count), S_OK);
    ASSERT_EQ(count, 3);
    struct Row {
        std::int32_t index;
        HRESULT hr;
        std::int32_t id;
    };
    for (const Row& row : std::vector<Row>{{0, E_FAIL, -1}, {1, S_OK, 3}, {2, S_OK, 1}, {3, S_OK, 4},
                                           {4, E_FAIL, -1}, {-2, E_FAIL, -1}}) {
        std::shared_ptr<IFieldbusDevice> device;
        EXPECT_EQ(bus.twin->get_fieldbusDeviceByIndex(row.index, device), row.hr) << row.index;
        EXPECT_EQ(idOf(device), row.id) << row.index;
        if (device) {
            EXPECT_EQ(device.get(), held[static_cast<std::size_t>(row.index - 1)].get())
                << "the same twin is handed out again";
        }
    }
    std::shared_ptr<IFieldbusDevice> byId;
    ASSERT_EQ(bus.twin->get_fieldbusDevice(4, byId), S_OK);
    EXPECT_EQ(byId.get(), held[2].get());
}

TEST(AutomationIndexes, EnumeratorIsASnapshotInConnectionOrder)
{
    FakeBus bus(3);
    auto two = bus.connect(2);
    auto one = bus.connect(1);
    std::vector<std::shared_ptr<IFieldbusDevice>> snapshot;
    ASSERT_EQ(bus.twin->get__NewEnum(snapshot), S_OK);
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(idOf(snapshot[0]), 2);
    EXPECT_EQ(idOf(snapshot[1]), 1);
    auto three = bus.connect(3);
    EXPECT_EQ(snapshot.size(), 2u) << "a later connect does not change a taken snapshot";
    std::vector<std::shared_ptr<IFieldbusDevice>> again;
    bus.twin->get__NewEnum(again);
    EXPECT_EQ(again.size(), 3u);
}

TEST(AutomationIndexes, ManagerEnumeratorListsTheInterfacesItMade)
{
    auto manager = CCommunicationManager::create();
    std::int32_t before = 0;
    manager->get_numberOfFieldbusInterfaces(before);
    auto bus = CCommunicationManager::adopt(std::make_unique<kavreltest::FakeInterface>());
    std::int32_t during = 0;
    manager->get_numberOfFieldbusInterfaces(during);
    EXPECT_EQ(during, before + 1);
    std::vector<std::shared_ptr<IFieldbusInterface>> interfaces;
    ASSERT_EQ(manager->get__NewEnum(interfaces), S_OK);
    ASSERT_FALSE(interfaces.empty());
    EXPECT_EQ(interfaces.back().get(), bus.get());
    interfaces.clear();
    bus.reset();
    std::int32_t after = 0;
    manager->get_numberOfFieldbusInterfaces(after);
    EXPECT_EQ(after, before) << "releasing the interface removes it from the manager";
}

TEST(AutomationIndexes, RangeCallsPutThePreviousScanRangeBack)
{
    FakeBus bus;
    ASSERT_EQ(bus.twin->put_scanRange("5-9"), S_OK);
    std::vector<std::int32_t> ids;
    ASSERT_EQ(bus.twin->get_RangeIds("1,3-5,20", ids), S_OK);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 3, 4, 5, 20}));
    std::string range;
    bus.twin->get_scanRange(range);
    EXPECT_EQ(range, "5-9");

    std::shared_ptr<IFieldbusDeviceList> list;
    ASSERT_EQ(bus.twin->get_DeviceList("2-3", list), S_OK);
    bus.twin->get_scanRange(range);
    EXPECT_EQ(range, "5-9");
    std::int32_t count = 0;
    list->get_NumberOfDevices(count);
    EXPECT_EQ(count, 2);
    std::string listRange;
    list->get_Range(listRange);
    EXPECT_EQ(listRange, "2-3");

    // A rejected text changes nothing either.
    ids.clear();
    EXPECT_EQ(bus.twin->get_RangeIds("9-", ids), E_FAIL);
    bus.twin->get_scanRange(range);
    EXPECT_EQ(range, "5-9");
}

TEST(AutomationIndexes, DeviceListNumbersAreOneBasedAndConnect)
{
    FakeBus bus(3);
    std::shared_ptr<IFieldbusDeviceList> list;
    ASSERT_EQ(bus.twin->get_DeviceList("2-3", list), S_OK);
    struct Row {
        std::int32_t number;
        HRESULT hr;
        std::int32_t id;
    };
    std::vector<std::shared_ptr<IFieldbusDevice>> held;
    for (const Row& row : std::vector<Row>{{0, E_FAIL, -1}, {1, S_OK, 2}, {2, S_OK, 3}, {3, E_FAIL, -1}}) {
        std::shared_ptr<IFieldbusDevice> device;
        EXPECT_EQ(list->get_DeviceAtNumber(row.number, device), row.hr) << row.number;
        EXPECT_EQ(idOf(device), row.id) << row.number;
        held.push_back(device);
    }
    std::shared_ptr<IFieldbusDevice> one;
    EXPECT_EQ(list->get_DeviceWithID(1, one), S_OK) << "any id goes to the owning interface";
    EXPECT_EQ(idOf(one), 1);
    std::int32_t count = 0;
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 3);
}

TEST(AutomationIndexes, ReleasingTheLastDeviceClosesTheBus)
{
    FakeBus bus(2);
    auto one = bus.connect(1);
    auto two = bus.connect(2);
    ASSERT_EQ(bus.core->isBusOpen(), 1u);
    one.reset();
    std::int32_t count = 0;
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(bus.core->isBusOpen(), 1u);
    two.reset();
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(bus.core->isBusOpen(), 0u);
    EXPECT_EQ(bus.fake->closes.load(), 1);
    std::shared_ptr<IFieldbusDevice> device;
    EXPECT_EQ(static_cast<std::uint32_t>(bus.twin->get_fieldbusDevice(1, device)), 0x80040304u);
}

TEST(AutomationIndexes, ParameterArgumentsAreUnsignedSixteenBit)
{
    FakeBus bus(1);
    auto device = bus.connect(1);
    ASSERT_TRUE(device);
    // 40000 and 65535 arrive as negative 16-bit numbers at the surface.
    ASSERT_EQ(device->set_Parameter(4, static_cast<std::int16_t>(40000), static_cast<std::int16_t>(65535),
                                    static_cast<std::int32_t>(0xCAFEF00Du)),
              S_OK);
    const auto writes = bus.fake->writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().index, 40000);
    EXPECT_EQ(writes.back().sub, 65535);
    EXPECT_EQ(writes.back().size, 4u);
    EXPECT_EQ(writes.back().value, 0xCAFEF00Du);
    std::int32_t value = 0;
    ASSERT_EQ(device->get_Parameter(4, static_cast<std::int16_t>(40000), -1, value), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(value), 0xCAFEF00Du);
}

TEST(AutomationIndexes, DeviceShowsItsIdentification)
{
    FakeBus bus(1);
    auto device = bus.connect(1);
    ASSERT_TRUE(device);
    struct Row {
        HRESULT (IFieldbusDevice::*get)(std::string&);
        std::string expected;
    };
    for (const Row& row : std::vector<Row>{{&IFieldbusDevice::get_originalVendorName, "Vorlane"},
                                           {&IFieldbusDevice::get_originalProductCode, "VDX 2040 A"},
                                           {&IFieldbusDevice::get_deviceVersion, "1.04"},
                                           {&IFieldbusDevice::get_motorType, "00000007"},
                                           {&IFieldbusDevice::get_serialNumber, "00012345"}}) {
        std::string value;
        EXPECT_EQ(((*device).*row.get)(value), S_OK);
        EXPECT_EQ(value, row.expected);
    }
    std::string product, family;
    device->get_productCode(product);
    device->get_familyCode(family);
    std::string expected;
    for (char c : product.substr(0, 7))
        if (c != ' ')
            expected += c;
    EXPECT_EQ(family, expected);
    bus.fake->setValue(1, 1, 3, 0x12345);
    std::string date;
    device->get_deviceDate(date);
    EXPECT_EQ(date, "0x00012345");
    std::int32_t flags = 9;
    device->put_ignoreErrors(1);
    device->get_ignoreErrors(flags);
    EXPECT_EQ(flags, 1);
}
