// kavrel identify | read | write: connect one drive through the core and
// report its identification or one parameter.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Json.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "protocols/FieldbusProtocol.h"

namespace kavrelcli {

// Options of the device commands, already parsed.
struct DeviceOptions {
    std::string protocol;
    std::string host;
    std::string tcpPort;
    std::string serial;
    std::string baud;
    std::string format;
    std::uint32_t id = 0;
    std::string param;
    std::uint32_t size = 4;
    std::string value;
};

namespace {

constexpr std::uint32_t errorGeneric = 0x80004005u;
constexpr std::uint32_t errorNoInterface = 0x80040702u;
constexpr std::uint32_t errorRead = 0x80040501u;
constexpr std::uint32_t errorWrite = 0x80040502u;

struct Failure {
    std::uint32_t code;
    std::string text;
};

std::string codeText(std::uint32_t code)
{
    return "0x" + commonbase::toHex(code, 8);
}

// The registry's text of one of our own codes.
std::string registryText(std::uint32_t code)
{
    if ((code & 0xFFFF0000u) != 0x80040000u)
        return {};
    auto text = commonbase::ErrorHandler::instance().getErrorText(static_cast<std::uint16_t>(code & 0xFFFu)).toUtf8();
    return commonbase::trim(text);
}

int fail(const Context& ctx, const Failure& failure)
{
    std::string text = failure.text.empty() ? registryText(failure.code) : failure.text;
    if (text.empty())
        text = "failed";
    if (ctx.json) {
        std::cout << Json::Object()
                         .addRaw("error", Json::Object().add("code", codeText(failure.code)).add("text", text).str())
                         .str()
                  << "\n";
    }
    std::cerr << "kavrel: " << text << " (" << codeText(failure.code) << ")\n";
    return 1;
}

// "I.S" with both parts 0..65535.
bool parseParameter(const std::string& text, std::uint16_t& index, std::uint16_t& subIndex)
{
    const auto dot = text.find('.');
    if (dot == std::string::npos)
        return false;
    auto i = commonbase::parseDecimal(text.substr(0, dot));
    auto s = commonbase::parseDecimal(text.substr(dot + 1));
    if (!i || !s || *i > 0xFFFFu || *s > 0xFFFFu)
        return false;
    index = static_cast<std::uint16_t>(*i);
    subIndex = static_cast<std::uint16_t>(*s);
    return true;
}

// Decimal or 0x-hex, within 32 bits.
std::optional<std::uint32_t> parseValue(const std::string& text)
{
    const std::string t = commonbase::trim(text);
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        auto hex = commonbase::parseHex(t.substr(2));
        if (!hex || *hex > 0xFFFFFFFFull)
            return std::nullopt;
        return static_cast<std::uint32_t>(*hex);
    }
    return commonbase::parseDecimal(t);
}

// A connected drive and the interface it hangs on; the device goes first.
struct Connection {
    std::unique_ptr<Kavrel::FieldbusInterface> bus;
    std::unique_ptr<Kavrel::FieldbusDevice> device;
    Connection() = default;
    Connection(Connection&&) = default;
    Connection& operator=(Connection&&) = default;
    ~Connection()
    {
        device.reset();
        bus.reset();
    }
};

std::optional<Failure> configureTcp(Kavrel::FieldbusInterfaceModbusTcp& bus, const DeviceOptions& options)
{
    if (!options.host.empty() && !bus.setIpAddress(options.host))
        return Failure{errorGeneric, "--host '" + options.host + "' is not a dotted IPv4 address"};
    if (!options.tcpPort.empty() && !bus.setEthernetPort(options.tcpPort))
        return Failure{errorGeneric, "--tcp-port '" + options.tcpPort + "' is not a port number 1..65535"};
    return std::nullopt;
}

// The baud rates the bus's protocol offers, for error texts.
std::string offeredBaudrates(const Kavrel::FieldbusInterface& bus)
{
    std::string text;
    if (auto protocol = bus.getFieldbusProtocol())
        for (const auto& rate : protocol->getBaudrates())
            text += (text.empty() ? "" : ", ") + rate;
    return text;
}

std::optional<Failure> configureRs485(Kavrel::FieldbusInterfaceModbusRs485& bus, const DeviceOptions& options)
{
    if (!options.serial.empty()) {
        const std::int32_t index = bus.findInterfaceByNameToOpen(options.serial);
        if (index < 0)
            return Failure{errorGeneric, "serial port '" + options.serial + "' is not offered by the Modbus RS485 library"};
        bus.setInterfaceIndex(index);
    }
    if (!options.baud.empty() && !bus.setBaudrateText(options.baud))
        return Failure{errorGeneric, "--baud '" + options.baud + "' is not offered (" + offeredBaudrates(bus) + ")"};
    if (!options.format.empty() && !bus.setFrameFormat(options.format))
        return Failure{errorGeneric, "--format '" + options.format + "' is not offered (N,8,1 E,8,1 O,8,1 N,8,2)"};
    return std::nullopt;
}

// The Vorlane line: one fixed character format, so only port and baud rate are chosen.
std::optional<Failure> configureVorlane(Kavrel::FieldbusInterfaceSerialPort& bus, const DeviceOptions& options)
{
    if (!options.serial.empty()) {
        const std::int32_t index = bus.findInterfaceByNameToOpen(options.serial);
        if (index < 0)
            return Failure{errorGeneric, "serial port '" + options.serial + "' is not offered"};
        bus.setInterfaceIndex(index);
    }
    if (!options.baud.empty() && !bus.setBaudrateText(options.baud))
        return Failure{errorGeneric, "--baud '" + options.baud + "' is not offered (" + offeredBaudrates(bus) + ")"};
    if (!options.format.empty() && options.format != bus.getFrameFormat())
        return Failure{errorGeneric, "--format '" + options.format + "' is not offered (" + bus.getFrameFormat() + ")"};
    return std::nullopt;
}

std::optional<Failure> connect(const DeviceOptions& options, Connection& connection)
{
    if (options.protocol != "ModbusTCP" && options.protocol != "ModbusRS485" && options.protocol != "VorlaneRS485")
        return Failure{errorGeneric,
                       "--protocol must be ModbusTCP, ModbusRS485 or VorlaneRS485, not '" + options.protocol + "'"};
    if (options.id == 0)
        return Failure{errorGeneric, "--id must name a drive (1 or more)"};
    if (options.protocol != "ModbusTCP" && !options.serial.empty()) {
        // The port list is read when the interface is made.
        std::string ports = options.serial;
        if (const char* known = std::getenv("KAVREL_SERIAL_PORTS"); known && *known)
            ports += std::string(",") + known;
        ::setenv("KAVREL_SERIAL_PORTS", ports.c_str(), 1);
    }
    auto& manager = Kavrel::CommunicationManager::getInstance();
    manager.setProtocolName(options.protocol);
    connection.bus = manager.createInterface(false);
    if (!connection.bus)
        return Failure{errorNoInterface, "the " + options.protocol + " interface could not be made"};

    std::optional<Failure> bad;
    if (auto* tcp = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(connection.bus.get()))
        bad = configureTcp(*tcp, options);
    else if (auto* rs485 = dynamic_cast<Kavrel::FieldbusInterfaceModbusRs485*>(connection.bus.get()))
        bad = configureRs485(*rs485, options);
    else if (auto* vorlane = dynamic_cast<Kavrel::FieldbusInterfaceSerialPort*>(connection.bus.get()))
        bad = configureVorlane(*vorlane, options);
    if (bad)
        return bad;

    const std::int32_t status = connection.bus->connectDevice(options.id, connection.device);
    if (status != 0 || !connection.device) {
        const auto code = static_cast<std::uint32_t>(status != 0 ? status : Kavrel::FieldbusInterface::errorNothingRan);
        return Failure{code, registryText(code)};
    }
    return std::nullopt;
}

std::string deviceFailureText(const Kavrel::FieldbusDevice& device, std::uint32_t fallbackCode)
{
    std::string text = device.getLastErrorString();
    if (text.empty())
        text = registryText(fallbackCode);
    if (device.getLastErrorCode() != 0)
        text += " (drive error 0x" + commonbase::toHex(device.getLastErrorCode(), 8) + ")";
    return text;
}

std::string parameterJson(const DeviceOptions& options, std::uint16_t index, std::uint16_t subIndex,
                          std::uint32_t value)
{
    return Json::Object()
        .addNumber("id", options.id)
        .addNumber("index", index)
        .addNumber("subindex", subIndex)
        .addNumber("size", options.size)
        .addNumber("value", value)
        .str();
}

std::optional<Failure> checkSize(const DeviceOptions& options)
{
    if (options.size != 1 && options.size != 2 && options.size != 4)
        return Failure{errorGeneric, "--size must be 1, 2 or 4"};
    return std::nullopt;
}

} // namespace

int runIdentify(const Context& ctx, const DeviceOptions& options)
{
    Connection connection;
    if (auto failure = connect(options, connection))
        return fail(ctx, *failure);
    auto& device = *connection.device;
    const std::string json = Json::Object()
                                 .addNumber("id", options.id)
                                 .add("vendorName", device.getVendorName())
                                 .add("originalVendorName", device.getOriginalVendorName())
                                 .add("productCode", device.getProductCode())
                                 .add("originalProductCode", device.getOriginalProductCode())
                                 .add("version", device.getDeviceVersion())
                                 .add("motorType", device.getMotorType())
                                 .add("serialNumber", device.getSerialNumber())
                                 .add("familyCode", device.getFamilyCode())
                                 .add("deviceDate", device.getDeviceDate())
                                 .str();
    printResult(ctx, json,
                {"id:            " + std::to_string(options.id),
                 "vendor name:   " + device.getVendorName() + " (" + device.getOriginalVendorName() + ")",
                 "product code:  " + device.getProductCode() + " (" + device.getOriginalProductCode() + ")",
                 "version:       " + device.getDeviceVersion(), "motor type:    " + device.getMotorType(),
                 "serial number: " + device.getSerialNumber(), "family code:   " + device.getFamilyCode(),
                 "device date:   " + device.getDeviceDate()});
    return 0;
}

int runRead(const Context& ctx, const DeviceOptions& options)
{
    std::uint16_t index = 0, subIndex = 0;
    if (!parseParameter(options.param, index, subIndex))
        return fail(ctx, {errorGeneric, "--param '" + options.param + "' is not INDEX.SUBINDEX (0..65535 each)"});
    if (auto bad = checkSize(options))
        return fail(ctx, *bad);
    Connection connection;
    if (auto failure = connect(options, connection))
        return fail(ctx, *failure);
    std::uint32_t value = 0;
    if (connection.device->getParameter(options.size, index, subIndex, value) != 1)
        return fail(ctx, {errorRead, deviceFailureText(*connection.device, errorRead)});
    printResult(ctx, parameterJson(options, index, subIndex, value),
                {std::to_string(index) + "." + std::to_string(subIndex) + " = " + std::to_string(value) + " (0x" +
                 commonbase::toHex(value, 2 * options.size) + ")"});
    return 0;
}

int runWrite(const Context& ctx, const DeviceOptions& options)
{
    std::uint16_t index = 0, subIndex = 0;
    if (!parseParameter(options.param, index, subIndex))
        return fail(ctx, {errorGeneric, "--param '" + options.param + "' is not INDEX.SUBINDEX (0..65535 each)"});
    if (auto bad = checkSize(options))
        return fail(ctx, *bad);
    auto value = parseValue(options.value);
    if (!value)
        return fail(ctx, {errorGeneric, "--value '" + options.value + "' is not a 32-bit decimal or 0x-hex number"});
    if (options.size < 4 && *value >= (1ull << (8 * options.size)))
        return fail(ctx, {errorGeneric, "--value " + options.value + " does not fit in " +
                                            std::to_string(options.size) + " byte(s)"});
    Connection connection;
    if (auto failure = connect(options, connection))
        return fail(ctx, *failure);
    if (connection.device->setParameter(options.size, index, subIndex, *value) != 1)
        return fail(ctx, {errorWrite, deviceFailureText(*connection.device, errorWrite)});
    printResult(ctx, parameterJson(options, index, subIndex, *value),
                {std::to_string(index) + "." + std::to_string(subIndex) + " := " + std::to_string(*value)});
    return 0;
}

namespace {

void addConnectionOptions(CLI::App* command, DeviceOptions& options, Context& ctx)
{
    command->add_option("--protocol", options.protocol, "ModbusTCP, ModbusRS485 or VorlaneRS485")->required();
    command->add_option("--host", options.host, "IPv4 address of the drive (ModbusTCP)");
    command->add_option("--tcp-port", options.tcpPort, "TCP port of the drive (ModbusTCP)");
    command->add_option("--serial", options.serial, "Serial port path (ModbusRS485, VorlaneRS485)");
    command->add_option("--baud", options.baud, "Baud rate (ModbusRS485, VorlaneRS485)");
    command->add_option("--format", options.format, "Character format, e.g. E,8,1 (ModbusRS485)");
    command->add_option("--id", options.id, "Bus address of the drive")->required();
    command->add_flag("--json", ctx.json, "Print one JSON document");
}

} // namespace

void registerDeviceCommands(CLI::App& app, Context& ctx)
{
    auto options = std::make_shared<DeviceOptions>();

    auto* identify = app.add_subcommand("identify", "Connect a drive and show its identification");
    addConnectionOptions(identify, *options, ctx);
    identify->callback([&ctx, options] { ctx.action = [&ctx, options] { return runIdentify(ctx, *options); }; });

    auto* read = app.add_subcommand("read", "Read one drive parameter");
    addConnectionOptions(read, *options, ctx);
    read->add_option("--param", options->param, "Parameter as INDEX.SUBINDEX")->required();
    read->add_option("--size", options->size, "Width in bytes: 1, 2 or 4");
    read->callback([&ctx, options] { ctx.action = [&ctx, options] { return runRead(ctx, *options); }; });

    auto* write = app.add_subcommand("write", "Write one drive parameter");
    addConnectionOptions(write, *options, ctx);
    write->add_option("--param", options->param, "Parameter as INDEX.SUBINDEX")->required();
    write->add_option("--value", options->value, "Value, decimal or 0x-hex")->required();
    write->add_option("--size", options->size, "Width in bytes: 1, 2 or 4");
    write->callback([&ctx, options] { ctx.action = [&ctx, options] { return runWrite(ctx, *options); }; });
}

} // namespace kavrelcli
