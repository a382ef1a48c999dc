// kavrel identify | read | write: connect one drive through the automation
// layer and report its identification or one parameter.
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostSession.h"
#include "Json.h"
#include "automation/ErrorInfo.h"
#include "automation/IFieldbusDevice.h"
#include "commonbase/StringUtil.h"

namespace kavrelcli {

namespace {

struct DeviceOptions {
    ConnectionOptions connection;
    std::uint32_t id = 0;
    std::string param;
    std::uint32_t size = 4;
    std::string value;
};

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

std::string text(Kavrel::IFieldbusDevice& device, Kavrel::HRESULT (Kavrel::IFieldbusDevice::*get)(std::string&))
{
    std::string value;
    (device.*get)(value);
    return value;
}

// The drive's own account of a failed access, else the surface's text (taken by
// value: the getters called here clear the thread's error information).
std::string deviceFailureText(Kavrel::IFieldbusDevice& device, std::string surfaceText)
{
    std::string reason;
    std::int32_t driveCode = 0;
    device.get_lastErrorString(reason);
    device.get_lastErrorCode(driveCode);
    std::string shown = reason.empty() ? surfaceText : reason;
    if (driveCode != 0)
        shown += " (drive error " + codeText(static_cast<std::uint32_t>(driveCode)) + ")";
    return shown;
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

// Checks the flags that need no bus, then connects the drive.
std::shared_ptr<Kavrel::IFieldbusDevice> connectDrive(HostSession& session, const DeviceOptions& options)
{
    if (options.id == 0) {
        session.usage("--id must name a drive (1 or more)");
        return nullptr;
    }
    std::shared_ptr<Kavrel::IFieldbusDevice> device;
    if (!session.open(false))
        return nullptr;
    // These commands only look or write what they are told: connecting must not
    // put the drive under node guarding (which writes the interval to it).
    if (!session.set("NodeGuardOnConnect", "0") || !session.connect(options.id, device))
        return nullptr;
    return device;
}

struct Access {
    std::uint16_t index = 0, subIndex = 0;
    std::uint32_t value = 0;
};

// The parameter, size and (for a write) value flags, checked before any bus traffic.
std::optional<Access> parseAccess(HostSession& session, const DeviceOptions& options, bool write)
{
    Access access;
    if (!parseParameter(options.param, access.index, access.subIndex))
        return session.usage("--param '" + options.param + "' is not INDEX.SUBINDEX (0..65535 each)"), std::nullopt;
    if (options.size != 1 && options.size != 2 && options.size != 4)
        return session.usage("--size must be 1, 2 or 4"), std::nullopt;
    if (!write)
        return access;
    auto value = parseValue(options.value);
    if (!value)
        return session.usage("--value '" + options.value + "' is not a 32-bit decimal or 0x-hex number"), std::nullopt;
    if (options.size < 4 && *value >= (1ull << (8 * options.size)))
        return session.usage("--value " + options.value + " does not fit in " + std::to_string(options.size) +
                            " byte(s)"),
               std::nullopt;
    access.value = *value;
    return access;
}

int runIdentify(const Context& ctx, const DeviceOptions& options)
{
    HostSession session(ctx, options.connection);
    auto device = connectDrive(session, options);
    if (!device)
        return session.status();
    using D = Kavrel::IFieldbusDevice;
    const std::string vendor = text(*device, &D::get_vendorName), originalVendor = text(*device, &D::get_originalVendorName);
    const std::string product = text(*device, &D::get_productCode), originalProduct = text(*device, &D::get_originalProductCode);
    const std::string version = text(*device, &D::get_deviceVersion), motor = text(*device, &D::get_motorType);
    const std::string serial = text(*device, &D::get_serialNumber), family = text(*device, &D::get_familyCode);
    const std::string date = text(*device, &D::get_deviceDate);
    const std::string json = Json::Object()
                                 .addNumber("id", options.id)
                                 .add("vendorName", vendor)
                                 .add("originalVendorName", originalVendor)
                                 .add("productCode", product)
                                 .add("originalProductCode", originalProduct)
                                 .add("version", version)
                                 .add("motorType", motor)
                                 .add("serialNumber", serial)
                                 .add("familyCode", family)
                                 .add("deviceDate", date)
                                 .str();
    printResult(ctx, json,
                {"id:            " + std::to_string(options.id),
                 "vendor name:   " + vendor + " (" + originalVendor + ")",
                 "product code:  " + product + " (" + originalProduct + ")", "version:       " + version,
                 "motor type:    " + motor, "serial number: " + serial, "family code:   " + family,
                 "device date:   " + date});
    return 0;
}

int runRead(const Context& ctx, const DeviceOptions& options)
{
    HostSession session(ctx, options.connection);
    auto access = parseAccess(session, options, false);
    if (!access)
        return session.status();
    auto device = connectDrive(session, options);
    if (!device)
        return session.status();
    std::int32_t read = 0;
    const Kavrel::HRESULT hr = device->get_Parameter(static_cast<std::int16_t>(options.size),
                                                     static_cast<std::int16_t>(access->index),
                                                     static_cast<std::int16_t>(access->subIndex), read);
    if (Kavrel::FAILED(hr))
        return session.fail(hr, deviceFailureText(*device, Kavrel::lastErrorInfo().description));
    const auto value = static_cast<std::uint32_t>(read);
    printResult(ctx, parameterJson(options, access->index, access->subIndex, value),
                {std::to_string(access->index) + "." + std::to_string(access->subIndex) + " = " +
                 std::to_string(value) + " (0x" + commonbase::toHex(value, 2 * options.size) + ")"});
    return 0;
}

int runWrite(const Context& ctx, const DeviceOptions& options)
{
    HostSession session(ctx, options.connection);
    auto access = parseAccess(session, options, true);
    if (!access)
        return session.status();
    auto device = connectDrive(session, options);
    if (!device)
        return session.status();
    const Kavrel::HRESULT hr = device->set_Parameter(static_cast<std::int16_t>(options.size),
                                                     static_cast<std::int16_t>(access->index),
                                                     static_cast<std::int16_t>(access->subIndex),
                                                     static_cast<std::int32_t>(access->value));
    if (Kavrel::FAILED(hr))
        return session.fail(hr, deviceFailureText(*device, Kavrel::lastErrorInfo().description));
    printResult(ctx, parameterJson(options, access->index, access->subIndex, access->value),
                {std::to_string(access->index) + "." + std::to_string(access->subIndex) + " := " +
                 std::to_string(access->value)});
    return 0;
}

} // namespace

void registerDeviceCommands(CLI::App& app, Context& ctx)
{
    auto options = std::make_shared<DeviceOptions>();
    auto add = [&](const char* name, const char* help) {
        auto* command = app.add_subcommand(name, help);
        addConnectionOptions(command, options->connection, ctx, "Print one JSON document");
        command->add_option("--id", options->id, "Bus address of the drive")->required();
        return command;
    };

    add("identify", "Connect a drive and show its identification")->callback([&ctx, options] {
        ctx.action = [&ctx, options] { return runIdentify(ctx, *options); };
    });

    auto* read = add("read", "Read one drive parameter");
    read->add_option("--param", options->param, "Parameter as INDEX.SUBINDEX")->required();
    read->add_option("--size", options->size, "Width in bytes: 1, 2 or 4");
    read->callback([&ctx, options] { ctx.action = [&ctx, options] { return runRead(ctx, *options); }; });

    auto* write = add("write", "Write one drive parameter");
    write->add_option("--param", options->param, "Parameter as INDEX.SUBINDEX")->required();
    write->add_option("--value", options->value, "Value, decimal or 0x-hex")->required();
    write->add_option("--size", options->size, "Width in bytes: 1, 2 or 4");
    write->callback([&ctx, options] { ctx.action = [&ctx, options] { return runWrite(ctx, *options); }; });
}

} // namespace kavrelcli
