#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Kavrel {

// Builds the name of one kind of file (loader or icon) from a format with
// placeholders, relative to a base folder.
class BaseFlashApiFileNameFinder {
public:
    static const std::string apiNamePlaceholder;  // "%FLASHAPIFILENAME_FLASHDATAHEADER_APINAME%"
    static const std::string endingPlaceholder;   // "%FLASHAPIFILENAME_ENDING%"
    static const std::string protocolPlaceholder; // "%PROTOCOL_NAME%"
    static const std::string baudratePlaceholder; // "%Baudrate%"
    static std::string standardName() { return apiNamePlaceholder + endingPlaceholder; }

    explicit BaseFlashApiFileNameFinder(std::string ending);
    virtual ~BaseFlashApiFileNameFinder() = default;

    void reset();
    // Sets a value; the placeholder's own text as value removes the entry.
    void addValue(const std::string& placeholder, const std::string& value);
    void setHeaderApiName(const std::string& name) { addValue(apiNamePlaceholder, name); }
    bool hasHeaderApiName() const { return values.count(apiNamePlaceholder) != 0; }
    // A non-empty path gets a "/" unless it ends with "\" or "/".
    void setPath(const std::string& path);
    const std::string& getPath() const { return path; }
    void setFormat(const std::string& format_) { format = format_; }
    const std::string& getFormat() const { return format; }
    std::string resolve() const;
    // The resolved format with the API-name placeholder left in place.
    std::string headerApiNameFormat() const;
    // The API name that fileName holds where the format has the placeholder.
    std::optional<std::string> findHeaderApiName(const std::string& fileName) const;

private:
    std::string resolveWith(const std::map<std::string, std::string>& map) const;
    std::string defaultEnding, ending, format, path;
    std::map<std::string, std::string> values;
};

class FlashApiFileFileNameFinder : public BaseFlashApiFileNameFinder {
public:
    FlashApiFileFileNameFinder() : BaseFlashApiFileNameFinder(".api") {}
};

class FlashApiIconFileNameFinder : public BaseFlashApiFileNameFinder {
public:
    FlashApiIconFileNameFinder() : BaseFlashApiFileNameFinder(".ico") {}
};

// The loader finder and the icon finder, used as a pair. Shared between the
// flasher, the settings and the automation objects: every call takes its lock.
class FlashApiFileNameFinder {
public:
    virtual ~FlashApiFileNameFinder() = default;
    void setFormat(const std::string& format);
    void setApiFileFormat(const std::string& format);
    void setIconFormat(const std::string& format);
    std::string getApiFileFormat() const;
    std::string getIconFormat() const;
    void setPath(const std::string& path);
    std::string getPath() const;
    void addValue(const std::string& placeholder, const std::string& value);
    void setHeaderApiName(const std::string& name);
    bool hasHeaderApiName() const;
    std::string resolveApiFileName() const;
    std::string resolveIconName() const;
    std::string headerApiNameFormat() const;
    std::optional<std::string> findHeaderApiName(const std::string& fileName) const;

protected:
    mutable std::mutex mutex;
    FlashApiFileFileNameFinder apiFinder;
    FlashApiIconFileNameFinder iconFinder;
};

class DefaultFlashApiFileNameFinder : public FlashApiFileNameFinder {
public:
    DefaultFlashApiFileNameFinder();
};

class DefaultFlashApiFileNameFinderModbusRTU : public DefaultFlashApiFileNameFinder {
public:
    DefaultFlashApiFileNameFinderModbusRTU();
};

// The flash settings of one bus protocol: its finder and, here, the erase time-out.
class FlashProtocolSettings {
public:
    explicit FlashProtocolSettings(std::optional<std::string> protocolName = std::nullopt);
    virtual ~FlashProtocolSettings() = default;

    // The protocol name (the settings' own, else the manager's current one) and,
    // for Modbus RTU, the baud rate.
    virtual void fillValues(FlashApiFileNameFinder& finder) const;
    std::shared_ptr<FlashApiFileNameFinder> getFinder() const { return finder; }
    std::optional<std::string> getProtocolName() const;
    void setProtocolName(const std::string& name);
    // How long the erase may take, counted from the erase command.
    std::chrono::milliseconds getEraseTimeout() const;
    void setEraseTimeout(std::chrono::milliseconds timeout);

protected:
    FlashProtocolSettings(std::optional<std::string> protocolName, std::shared_ptr<FlashApiFileNameFinder> finder);
    mutable std::mutex mutex;

private:
    std::shared_ptr<FlashApiFileNameFinder> finder;
    std::optional<std::string> protocolName;
    std::chrono::milliseconds eraseTimeout{60000};
};

class FlashProtocolSettingsModbusRTU : public FlashProtocolSettings {
public:
    static constexpr std::uint32_t defaultBaudrate = 38400;
    explicit FlashProtocolSettingsModbusRTU(std::optional<std::string> protocolName = std::string("ModbusRS485"));
    void fillValues(FlashApiFileNameFinder& finder) const override;
    std::uint32_t getBaudrate() const;
    void setBaudrate(std::uint32_t baud);

private:
    std::uint32_t baudrate = defaultBaudrate;
};

// One settings object per protocol name, made on first use ("ModbusRS485" gets the RTU kind).
class FlashProtocolSettingsList {
public:
    std::shared_ptr<FlashProtocolSettings> get(const std::string& protocolName);
    std::shared_ptr<FlashProtocolSettingsModbusRTU> getModbusRtu();
    // The base folder of the loaders, applied to every settings object's finder.
    void setApiPath(const std::string& path);
    std::string getApiPath() const;

private:
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<FlashProtocolSettings>> settings;
    std::string apiPath;
};

} // namespace Kavrel
