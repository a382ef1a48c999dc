// The parameter dialogs answered by a script: what OK stores, what the
// interface then writes, what cancel and refused values leave alone.
#include <gtest/gtest.h>

#include "DialogTestSupport.h"

using namespace dialogtest;
using Kavrel::ScriptedDialogBackend;
using Keys = std::map<std::string, std::string>;

TEST(ParameterDialogs, OkStoresExactlyTheKeysOfEachInterface)
{
    const Keys rs485{{"InterfaceID", "11"}, {"DeviceAddress", "248"}, {"NodeGuard/Interval", "5"}, {"NodeGuard/Enabled", "1"},
                     {"DontShow", "0"}, {"Baudrate", "19200"}, {"ModbusRS485_Parity", "E"}, {"ModbusRS485_Databits", "8"},
                     {"ModbusRS485_Stopbits", "1"}};
    const Keys vorlaneScan{{"InterfaceID", "11"}, {"ScanRange", "1-31"}, {"Baudrate", "38400"}, {"VorlaneRS485_Parity", "E"},
                           {"VorlaneRS485_Databits", "7"}, {"VorlaneRS485_Stopbits", "1"}};
    // Each case: the keys that differ from the defaults above (an empty value: the key is not written).
    struct Case { const char* protocol; bool scan; const char* answer; Keys base, changed; } cases[] = {
        {"ModbusRS485", false, "202 233=ttyB 207=38400 243=O,8,1 248=#0 255=17 238=1 236=7 230=1 ok", rs485,
         {{"InterfaceID", "12"}, {"DeviceAddress", "17"}, {"NodeGuard/Interval", "7"}, {"NodeGuard/Enabled", "0"},
          {"DontShow", "1"}, {"Baudrate", "38400"}, {"ModbusRS485_Parity", "O"}}},
        {"ModbusRS485", false, "202 248=#0 255=17 248=#1 ok", rs485, {}}, // back to point to point
        {"ModbusRS485", true, "219 233=ttyB 207=9600 243=N,8,2 ok", rs485,
         {{"InterfaceID", "12"}, {"ScanRange", "1-247"}, {"Baudrate", "9600"}, {"ModbusRS485_Parity", "N"},
          {"ModbusRS485_Stopbits", "2"}, {"DeviceAddress", ""}, {"NodeGuard/Interval", ""}, {"NodeGuard/Enabled", ""},
          {"DontShow", ""}}},
        {"VorlaneRS485", false, "212 233=ttyB 207=9600 255=31 236=3600 ok", vorlaneScan,
         {{"InterfaceID", "12"}, {"DeviceAddress", "31"}, {"NodeGuard/Interval", "3600"}, {"NodeGuard/Enabled", "1"},
          {"DontShow", "0"}, {"Baudrate", "9600"}, {"ScanRange", ""}}},
        {"VorlaneRS485", true, "221 207=38400 ok", vorlaneScan, {}},
        {"ModbusTCP", false, "237 288=10.1.2.3 283=1502 248=#0 255=9 230=1 ok",
         {{"InterfaceID", "11"}, {"DeviceAddress", "9"}, {"NodeGuard/Interval", "5"}, {"NodeGuard/Enabled", "1"},
          {"DontShow", "1"}, {"IpAddress", "10.1.2.3"}, {"EthernetPort", "1502"}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        SettingsFile settings;
        auto fieldbus = makeInterface(c.protocol, c.scan);
        auto backend = script(c.answer);
        BackendScope scope(backend);
        ASSERT_EQ(show(*fieldbus), 1) << backend->transcript().back().status;
        fieldbus->writeSettings();
        Keys expected = c.base;
        for (const auto& [key, value] : c.changed)
            if (value.empty()) expected.erase(key);
            else expected[key] = value;
        EXPECT_EQ(settings.keys(c.protocol + std::string(c.scan ? "_NetworkScan" : "")), expected);
        EXPECT_EQ(backend->remaining(), 0u);
    }
}

TEST(ParameterDialogs, CancelAndRefusedValuesLeaveTheSettingsAlone)
{
    struct Case { const char* answer; const char* status; } cases[] = { // status: part of the refusal shown
        {"202 233=ttyB 255=17 cancel", ""}, {"202 248=#0 255=248 ok", "1-247"}, {"202 248=#0 255=0 ok", "1-247"},
        {"202 248=#0 255=abc ok", "1-247"}, {"202 236=0 ok", "1-3600"}, {"202 236=3601 ok", "1-3600"},
        {"202 207=115200 ok", ""}, // not a rate of the protocol: the control refuses it
        {"237 283=0 ok", "1-65535"}, {"237 283=65536 ok", "1-65535"}, {"237 288=300.1.1.1 ok", "IPv4"},
        {"237 288=localhost ok", "IPv4"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        SettingsFile settings;
        const bool tcp = c.answer[1] == '3';
        auto fieldbus = makeInterface(tcp ? "ModbusTCP" : "ModbusRS485");
        auto backend = script(c.answer);
        BackendScope scope(backend);
        EXPECT_EQ(show(*fieldbus), 2);
        EXPECT_NE(backend->transcript().back().status.find(c.status), std::string::npos)
            << backend->transcript().back().status;
        EXPECT_EQ((std::vector<std::int64_t>{fieldbus->getInterfaceIndex(), fieldbus->getDeviceAddress(),
                                             fieldbus->getNodeGuardInterval()}),
                  (std::vector<std::int64_t>{0, 248, 5000}));
        auto* t = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(fieldbus.get()); // no address until one is given
        EXPECT_EQ(t ? t->getIpAddress() + ":" + t->getEthernetPort() : fieldbus->getBaudrateText(), tcp ? ":502" : "19200");
    }
}

TEST(ParameterDialogs, SpinRangesFollowTheProtocolBounds)
{
    struct Case { const char* protocol; bool scan; int spin, lower, upper; } cases[] = {
        {"ModbusRS485", false, 256, 1, 247}, {"ModbusRS485", false, 249, 1, 3600}, {"VorlaneRS485", false, 256, 1, 31},
        {"ModbusTCP", false, 250, 1, 65535}, {"CanOpen_QTA", false, 256, 1, 127}, {"DeviceNetCan", false, 256, 0, 63},
        {"DeviceNetCan", false, 253, 0, 63}, {"DeviceNetCan", true, 260, 1, 99}, {"DeviceNetCan", true, 263, 1, 5}};
    for (const auto& c : cases) {
        auto fieldbus = makeInterface(c.protocol, c.scan);
        if (auto* tcp = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(fieldbus.get()))
            tcp->setIpAddress("10.0.0.1"); // there is no default address to pass the dialog with
        auto* dialog = dialogOf(*fieldbus);
        SCOPED_TRACE(std::to_string(dialog->getTemplateId()) + " spin " + std::to_string(c.spin));
        dialog->OnInitDialog();
        const auto* spin = dialog->findControl(c.spin);
        ASSERT_NE(spin, nullptr);
        EXPECT_EQ(spin->lower, c.lower);
        EXPECT_EQ(spin->upper, c.upper);
        // The bounds themselves pass, one beyond each does not; the Modbus RS485 address
        // edit also depends on the protocol combo, covered above.
        if (spin->buddy == 255 && fieldbus->getProtocolName() == "ModbusRS485") continue;
        const std::string address = dialog->findControl(255) ? " 255=5 " : " ";
        for (const auto& [value, result] : {std::pair{c.lower, 1}, {c.upper, 1}, {c.lower - 1, 2}, {c.upper + 1, 2}}) {
            BackendScope scope(script(std::to_string(dialog->getTemplateId()) + address + std::to_string(spin->buddy) +
                                      "=" + std::to_string(value) + " ok"));
            EXPECT_EQ(show(*fieldbus), result) << value;
        }
    }
}

TEST(ParameterDialogs, CanAndDeviceNetValuesReachTheInterface)
{
    CanStub deviceNet("DeviceNetCan", false);
    auto backend = script("211 233=can1 252=5 259=99 262=5 255=0 238=1 ok");
    BackendScope scope(backend);
    ASSERT_EQ(show(deviceNet), 1) << backend->transcript().back().status;
    EXPECT_EQ((std::vector<std::int64_t>{deviceNet.clientMacId, deviceNet.dncStartTimeout, deviceNet.autobaudNumTry,
                                         deviceNet.getDeviceAddress(), deviceNet.getInterfaceIndex(), deviceNet.getNodeGuardEnabled()}),
              (std::vector<std::int64_t>{5, 99, 5, 0, 1, 0}));
    // The interface's values are what the dialog starts from; the placeholder title is replaced.
    CanStub scan("DeviceNetCan", true);
    scan.clientMacId = 7;
    std::string error;
    ASSERT_TRUE(backend->parse("223 ok", error));
    ASSERT_EQ(show(scan), 1);
    const auto shown = backend->transcript().back();
    EXPECT_EQ(shown.title, dialogOf(scan)->translate("LABEL_NETWORKSCAN"));
    for (const auto& text : {std::make_pair(252, std::string("7")), std::make_pair(259, std::string("10"))})
        EXPECT_NE(std::find(shown.texts.begin(), shown.texts.end(), text), shown.texts.end()) << text.first;
    CanStub canOpen("CanOpen_KVX", true);
    ASSERT_TRUE(backend->parse("232 233=can1 ok", error));
    ASSERT_EQ(show(canOpen), 1);
    EXPECT_EQ(backend->transcript().back().title, dialogOf(canOpen)->translate("LABEL_NETWORKSCAN"));
    EXPECT_EQ(canOpen.getInterfaceIndex(), 1);
}

TEST(ParameterDialogs, ControlChangesFollowEachOther)
{
    Rs485 fieldbus("ModbusRS485", false);
    auto* dialog = dialogOf(fieldbus);
    dialog->OnInitDialog();
    // Default address 248 is the point-to-point address: the edit is off.
    EXPECT_EQ(dialog->comboGetSelection(248), 1);
    EXPECT_FALSE(dialog->itemGetEnable(255));
    EXPECT_EQ(dialog->comboSelectedText(248), dialog->translate("LABEL_MODBUS_POINT_TO_POINT"));
    dialog->setControlValue(248, "#0");
    dialog->onCommand(248);
    EXPECT_TRUE(dialog->itemGetEnable(255) && dialog->itemGetText(255) == "1") << dialog->itemGetText(255);
    // Deactivating node guarding disables its interval; a disabled edit is not checked against its range.
    dialog->setControlValue(238, "1");
    dialog->onCommand(238);
    EXPECT_FALSE(dialog->itemGetEnable(236));
    dialog->setControlValue(236, "0");
    dialog->onCommand(1);
    EXPECT_TRUE(dialog->isEnded());
    EXPECT_EQ(fieldbus.getNodeGuardEnabled(), 0u);
    EXPECT_EQ(fieldbus.getNodeGuardInterval(), 5000);
    // The hardware combo lists the interface's ports, not the presets.
    EXPECT_EQ(dialog->findControl(233)->entries, (decltype(dialog->findControl(233)->entries){{"ttyA", "/dev/ttyA"}, {"ttyB", "/dev/ttyB"}}));
}

TEST(ParameterDialogs, InterfaceSeesTheDialogResult)
{
    Rs485 headless("ModbusRS485", false); // no backend: the current settings are confirmed
    EXPECT_EQ(headless.initialize(0), Kavrel::FieldbusInterface::statusOk);
    struct Case { const char* answer; bool dontShow; std::uint32_t code; } cases[] = {
        {"202 cancel", false, 0x80040403u}, {"* cancel", true, 0}}; // told not to show itself (as during a scan)
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        Rs485 fieldbus("ModbusRS485", false);
        auto backend = script(c.answer);
        BackendScope scope(backend);
        fieldbus.getParameterDialog()->setDontShowDialog(c.dontShow);
        EXPECT_EQ(static_cast<std::uint32_t>(fieldbus.initialize(0)), c.code);
        EXPECT_EQ(backend->transcript().size(), c.dontShow ? 0u : 1u);
    }
    Rs485 fieldbus("ModbusRS485", false);
    auto backend = script("202 233=ttyB ok");
    BackendScope scope(backend);
    EXPECT_EQ(fieldbus.initialize(0), Kavrel::FieldbusInterface::statusOk);
    EXPECT_EQ(fieldbus.getChosenHardwareInterface()->getNumber(), 12u);
    EXPECT_EQ(static_cast<std::uint32_t>(fieldbus.setCommunicationParameters()), 0x80040403u);
    EXPECT_EQ(backend->transcript().size(), 2u); // the second dialog had no answer: cancel
    EXPECT_EQ(backend->transcript().back().result, 2);
}

TEST(ParameterDialogs, ScriptSyntaxErrorsAreReported)
{
    for (const char* text : {"abc ok", "202 255=1", "202 x=1 ok", "202 ok cancel", "202 wait=x ok", "202 255 ok"}) {
        ScriptedDialogBackend backend;
        std::string error;
        EXPECT_FALSE(backend.parse(std::string("# comment\n\n") + text, error)) << text;
        EXPECT_NE(error.find("line 3"), std::string::npos) << error;
        EXPECT_EQ(backend.remaining(), 0u);
    }
    ScriptedDialogBackend backend;
    std::string error;
    EXPECT_TRUE(backend.parse("202 255=1 wait=10 ok\n* cancel\n216 none", error)) << error;
    EXPECT_EQ(backend.remaining(), 3u);
}
