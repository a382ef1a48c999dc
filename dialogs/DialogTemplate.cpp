#include "dialogs/DialogTemplate.h"

namespace commonbase {

namespace {

using K = ControlKind;

ControlTemplate label(int id, const char* key) { return {id, K::Static, key, 0, {}}; }
ControlTemplate group(int id, const char* key) { return {id, K::Group, key, 0, {}}; }
ControlTemplate combo(int id, std::vector<std::string> entries = {}) { return {id, K::Combo, "", 0, std::move(entries)}; }
ControlTemplate edit(int id) { return {id, K::Edit, "", 0, {}}; }
ControlTemplate spin(int id, int buddy) { return {id, K::Spin, "", buddy, {}}; }
ControlTemplate check(int id, const char* key) { return {id, K::CheckBox, key, 0, {}}; }
ControlTemplate button(int id, const char* key) { return {id, K::Button, key, 0, {}}; }

void append(std::vector<ControlTemplate>& to, const std::vector<ControlTemplate>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

std::vector<ControlTemplate> okCancel(const char* cancelKey = "Abbrechen")
{
    return {button(1, "OK"), button(2, cancelKey)};
}

std::vector<ControlTemplate> nodeGuardGroup()
{
    return {group(241, "LABEL_NODEGUARD"), check(238, "LABEL_DEACTIVATE"), label(235, "LABEL_VALUE_SECONDS"),
            edit(236), spin(249, 236)};
}

std::vector<ControlTemplate> serialCombos()
{
    return {label(208, "LABEL_COM_PORT"),   combo(233, DialogTemplate::presetPorts()),
            label(209, "LABEL_BAUDRATE"),   combo(207, DialogTemplate::presetBaudrates()),
            label(242, "LABEL_PARAMETER"),  combo(243, DialogTemplate::presetFrameFormats())};
}

std::vector<ControlTemplate> canCombos()
{
    return {label(232, "LABEL_DONGLE_ID"), combo(233, DialogTemplate::presetPorts()),
            label(209, "LABEL_BAUDRATE_CAN"), combo(207, DialogTemplate::presetCanBaudrates())};
}

std::vector<ControlTemplate> numberRow(int labelId, const char* key, int editId, int spinId)
{
    return {label(labelId, key), edit(editId), spin(spinId, editId)};
}

std::vector<ControlTemplate> deviceNetExtras()
{
    std::vector<ControlTemplate> c = numberRow(251, "LABEL_CLIENT_MAC_ID", 252, 253);
    append(c, numberRow(258, "LABEL_DNC_START_TIMEOUT", 259, 260));
    append(c, numberRow(261, "LABEL_AUTOBAUD_RETRY", 262, 263));
    return c;
}

std::vector<DialogTemplate> makeTemplates()
{
    std::vector<DialogTemplate> t;

    {   // Modbus RS485, connection
        DialogTemplate d{202, "LABEL_CONNECTION", {group(239, "LABEL_SERIAL_PORT")}};
        append(d.controls, serialCombos());
        append(d.controls, numberRow(229, "LABEL_MODBUS_ADDRESS", 255, 256));
        append(d.controls, nodeGuardGroup());
        d.controls.push_back(check(230, "LABEL_DONT_SHOW"));
        d.controls.push_back(label(247, "LABEL_PROTOCOL"));
        d.controls.push_back(combo(248));
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // Modbus RS485, network scan
        DialogTemplate d{219, "LABEL_NETWORKSCAN", serialCombos()};
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // Vorlane RS485, connection
        DialogTemplate d{212, "LABEL_CONNECTION", {group(239, "LABEL_SERIAL_PORT")}};
        append(d.controls, serialCombos());
        append(d.controls, numberRow(260, "LABEL_DEVICE_ADDRESS", 255, 256));
        append(d.controls, nodeGuardGroup());
        d.controls.push_back(check(230, "LABEL_DONT_SHOW"));
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // Vorlane RS485, network scan
        DialogTemplate d{221, "LABEL_NETWORKSCAN", serialCombos()};
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // CANopen, connection
        DialogTemplate d{230, "LABEL_CONNECTION", {group(257, "LABEL_CAN_DONGLE")}};
        append(d.controls, canCombos());
        append(d.controls, numberRow(254, "LABEL_DESTINATION_MAC_ID", 255, 256));
        append(d.controls, nodeGuardGroup());
        d.controls.push_back(check(230, "LABEL_DONT_SHOW"));
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // CANopen, network scan; its title is replaced when it is shown
        DialogTemplate d{232, "Dialog", canCombos()};
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // DeviceNet, connection
        DialogTemplate d{211, "LABEL_CONNECTION", canCombos()};
        append(d.controls, deviceNetExtras());
        append(d.controls, numberRow(254, "LABEL_DESTINATION_MAC_ID", 255, 256));
        append(d.controls, nodeGuardGroup());
        d.controls.push_back(check(230, "LABEL_DONT_SHOW"));
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // DeviceNet, network scan
        DialogTemplate d{223, "LABEL_NETWORKSCAN", canCombos()};
        append(d.controls, deviceNetExtras());
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // Modbus TCP
        DialogTemplate d{237, "LABEL_CONNECTION", {group(282, "LABEL_CONNECTION_DATA"), label(285, "LABEL_IP_ADDRESS"),
                                                   ControlTemplate{288, K::IpAddress, "", 0, {}}}};
        append(d.controls, numberRow(286, "LABEL_ETHERNET_PORT", 283, 250));
        append(d.controls, numberRow(229, "LABEL_MODBUS_ADDRESS", 255, 256));
        d.controls.push_back(label(247, "LABEL_PROTOCOL"));
        d.controls.push_back(combo(248));
        append(d.controls, nodeGuardGroup());
        d.controls.push_back(check(230, "LABEL_DONT_SHOW"));
        append(d.controls, okCancel("Cancel"));
        t.push_back(std::move(d));
    }
    {   // Scan range
        DialogTemplate d{216, "LABEL_RANGE", {edit(261), label(262, "")}};
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    {   // Scan progress
        DialogTemplate d{217, "LABEL_SCAN_PROGRESS",
                         {ControlTemplate{263, K::ProgressBar, "", 0, {}}, label(264, "LABEL_INITIALIZE"),
                          button(2, "Abbrechen")}};
        t.push_back(std::move(d));
    }
    {   // Protocol selection
        DialogTemplate d{234, "LABEL_SELECT_PROTOCOL", {ControlTemplate{280, K::ListView, "", 0, {}}}};
        append(d.controls, okCancel());
        t.push_back(std::move(d));
    }
    t.push_back(DialogTemplate{229, "Dialog", okCancel()});
    return t;
}

} // namespace

const char* controlKindName(ControlKind kind)
{
    switch (kind) {
    case K::Static: return "static";
    case K::Group: return "group";
    case K::Combo: return "combo";
    case K::Edit: return "edit";
    case K::Spin: return "spin";
    case K::CheckBox: return "check";
    case K::IpAddress: return "ipaddress";
    case K::ListView: return "listview";
    case K::ProgressBar: return "progress";
    case K::Button: return "button";
    }
    return "?";
}

const ControlTemplate* DialogTemplate::findControl(int controlId) const
{
    for (const auto& c : controls)
        if (c.id == controlId)
            return &c;
    return nullptr;
}

const std::vector<DialogTemplate>& DialogTemplate::all()
{
    static const std::vector<DialogTemplate> templates = makeTemplates();
    return templates;
}

const DialogTemplate* DialogTemplate::find(int templateId)
{
    for (const auto& t : all())
        if (t.id == templateId)
            return &t;
    return nullptr;
}

const std::vector<std::string>& DialogTemplate::presetPorts()
{
    static const std::vector<std::string> ports = {"COM1", "COM2", "COM3", "COM4"};
    return ports;
}

const std::vector<std::string>& DialogTemplate::presetBaudrates()
{
    static const std::vector<std::string> rates = {"300",  "600",   "1200",  "2400",  "4800",
                                                   "9600", "19200", "38400", "57600", "115200"};
    return rates;
}

const std::vector<std::string>& DialogTemplate::presetFrameFormats()
{
    static const std::vector<std::string> formats = {"N,8,1", "E,8,1", "O,8,1", "N,8,2"};
    return formats;
}

const std::vector<std::string>& DialogTemplate::presetCanBaudrates()
{
    static const std::vector<std::string> rates = {"125k", "250k", "500k"};
    return rates;
}

} // namespace commonbase
