// The C interface against kavrel-drive-sim over Modbus TCP: ids outside the
// bus's bounds, devices whose interface was released, an upload on a dropped
// drive, and connects racing a node-guard drop. Skipped where the simulator is
// not built. Single-threaded on the host side: the races are the library's.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "automation/kavrel.h"
#include "tools/test_drive_sim_support.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

std::string lastText()
{
    char text[512] = {};
    kavrel_last_error_text(text, sizeof text);
    return text;
}

// A simulator with a control input and one Modbus TCP interface handle on it.
class SimBus {
public:
    explicit SimBus(const std::string& ids)
    {
        if (!std::filesystem::exists(simtest::simBinary()))
            return;
        ::mkfifo(fifo.c_str(), 0600);
        sim = std::make_unique<simtest::Sim>(
            std::vector<std::string>{"--tcp", "127.0.0.1:0", "--ids", ids, "--control", fifo});
        if (!sim->ready || kavrel_set_last_settings_path(dir.str().c_str()) != 0 ||
            kavrel_set_protocol("ModbusTCP") != 0 || kavrel_create_interface(0, &bus) != 0)
            return;
        set("IpAddress", "127.0.0.1");
        set("EthernetPort", std::to_string(sim->port));
        set("DontShow", "1");
        set("ReplyTimeout", "300"); // a silent drive costs this much
    }
    ~SimBus()
    {
        if (bus)
            kavrel_release(bus);
        kavrel_event event;
        for (int i = 0; i < 100 && kavrel_poll_event(0, &event) == KAVREL_S_OK; ++i) {
        }
    }
    bool ok() const { return bus != 0; }
    void set(const std::string& key, const std::string& value)
    {
        EXPECT_EQ(kavrel_interface_set(bus, key.c_str(), value.c_str()), KAVREL_S_OK) << key << ": " << lastText();
    }
    bool control(const std::string& command) { return kavreltest::sendControl(fifo, *sim->process, command); }
    kavrel_handle connect(std::int32_t id)
    {
        kavrel_handle device = 0;
        EXPECT_EQ(kavrel_connect(bus, id, &device), KAVREL_S_OK) << id << ": " << lastText();
        return device;
    }
    // Guards the device on its own short interval.
    void guard(kavrel_handle device, std::int32_t intervalMs)
    {
        ASSERT_EQ(kavrel_disable_node_guard(bus, device), KAVREL_S_OK);
        ASSERT_EQ(kavrel_enable_node_guard(bus, device, intervalMs), KAVREL_S_OK) << lastText();
    }
    // The first event of that kind (and first number) within the time-out.
    std::optional<kavrel_event> waitFor(std::int32_t kind, std::int32_t first, std::chrono::milliseconds timeout)
    {
        const auto end = Clock::now() + timeout;
        kavrel_event event;
        while (Clock::now() < end)
            if (kavrel_poll_event(50, &event) == KAVREL_S_OK && event.kind == kind && event.first == first)
                return event;
        return std::nullopt;
    }

    kavrel_handle bus = 0;

private:
    kavreltest::TempDir dir;
    std::string fifo = dir.str() + "control";
    std::unique_ptr<simtest::Sim> sim;
};

#define REQUIRE_SIM(s)                                                                                              \
    if (!std::filesystem::exists(simtest::simBinary()))                                                             \
        GTEST_SKIP() << "kavrel-drive-sim is not built";                                                            \
    ASSERT_TRUE((s).ok()) << lastText()

} // namespace

TEST(CApiOnSimulator, IdsAndRangesOutsideTheBoundsAreRefusedWithTheBounds)
{
    SimBus s("1-2");
    REQUIRE_SIM(s);
    // 258 and 65538 would reach drive 2 through a wrapped unit byte.
    for (std::int32_t id : {258, 65538, 249, -1}) {
        kavrel_handle device = 0;
        EXPECT_EQ(static_cast<std::uint32_t>(kavrel_connect(s.bus, id, &device)), 0x8004040Eu) << id;
        EXPECT_EQ(lastText(), "id " + std::to_string(id) + " is outside 1-248 for ModbusTCP");
        EXPECT_EQ(device, 0u) << id;
    }
    std::int32_t count = -1;
    ASSERT_EQ(kavrel_device_count(s.bus, &count), KAVREL_S_OK);
    EXPECT_EQ(count, 0);
    for (const char* range : {"0-5", "1-248", "300"}) {
        EXPECT_EQ(kavrel_interface_set(s.bus, "ScanRange", range), KAVREL_E_INVALIDARG) << range;
        EXPECT_NE(lastText().find("within 1-247 for ModbusTCP"), std::string::npos) << lastText();
    }
    EXPECT_NE(s.connect(2), 0u) << "an id inside the bounds still connects";
}

TEST(CApiOnSimulator, DeviceCallsAfterTheirInterfaceWasReleasedFailWithTheHandleError)
{
    SimBus s("1");
    REQUIRE_SIM(s);
    const kavrel_handle device = s.connect(1);
    ASSERT_NE(device, 0u);
    ASSERT_EQ(kavrel_release(s.bus), KAVREL_S_OK);
    s.bus = 0;
    char text[64];
    std::int32_t value = 0;
    const std::vector<std::pair<const char*, std::function<std::int32_t()>>> calls = {
        {"read", [&] { return kavrel_read_parameter(device, 4, 2, 1, &value); }},
        {"write", [&] { return kavrel_write_parameter(device, 4, 2, 0, 7); }},
        {"start upload", [&] { return kavrel_start_upload(device); }},
        {"stop upload", [&] { return kavrel_stop_upload(device); }},
        {"text", [&] { return kavrel_device_text(device, "uploadBuffer", text, sizeof text); }},
        {"ignore errors", [&] { return kavrel_set_ignore_errors(device, 1); }},
        {"id", [&] { return kavrel_device_id(device, &value); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(call(), KAVREL_E_HANDLE) << name;
        EXPECT_NE(lastText().find("its interface was released"), std::string::npos) << name << ": " << lastText();
    }
    EXPECT_EQ(kavrel_release(device), KAVREL_S_OK);
}

TEST(CApiOnSimulator, UploadOnADroppedDriveFinishesWithAFailure)
{
    SimBus s("1-2");
    REQUIRE_SIM(s);
    const kavrel_handle one = s.connect(1), two = s.connect(2);
    ASSERT_TRUE(one && two);
    s.guard(two, 300);
    ASSERT_TRUE(s.control("silence 2"));
    ASSERT_TRUE(s.waitFor(KAVREL_EVENT_NODE_GUARD_TIMEOUT, 2, 8s));
    // The drive answers again, but the device object was dropped.
    ASSERT_TRUE(s.control("answer 2"));
    ASSERT_EQ(kavrel_start_upload(two), KAVREL_S_OK);
    auto finished = s.waitFor(KAVREL_EVENT_UPLOAD_FINISHED, 256, 10s);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->second, 0xa02) << "nothing was fetched: the upload could not start";
    char buffer[64] = "x";
    ASSERT_EQ(kavrel_device_text(two, "uploadBuffer", buffer, sizeof buffer), KAVREL_S_OK);
    EXPECT_STREQ(buffer, "");
}

// A node-guard drop of the last device closes the bus; a connect of another
// drive running at that moment must not return success with a dead device.
TEST(CApiOnSimulator, ConnectsRacingANodeGuardDropLeaveTheBusOpen)
{
    SimBus s("1-2");
    REQUIRE_SIM(s);
    for (int round = 0; round < 12; ++round) {
        const kavrel_handle one = s.connect(1);
        ASSERT_NE(one, 0u) << "round " << round;
        s.guard(one, 200);
        ASSERT_TRUE(s.control("silence 1"));
        bool dropped = false;
        int connects = 0;
        const auto end = Clock::now() + 10s;
        while (!dropped && Clock::now() < end) {
            kavrel_handle two = 0;
            if (kavrel_connect(s.bus, 2, &two) == KAVREL_S_OK) {
                ++connects;
                std::int32_t value = 0;
                EXPECT_EQ(kavrel_read_parameter(two, 4, 2, 1, &value), KAVREL_S_OK)
                    << "round " << round << ", connect " << connects << ": " << lastText();
                kavrel_release(two);
            }
            kavrel_event event;
            while (kavrel_poll_event(0, &event) == KAVREL_S_OK)
                dropped = dropped || (event.kind == KAVREL_EVENT_NODE_GUARD_TIMEOUT && event.first == 1);
        }
        ASSERT_TRUE(dropped) << "round " << round;
        EXPECT_GT(connects, 0) << "round " << round;
        ASSERT_TRUE(s.control("answer 1"));
        kavrel_release(one);
    }
}
