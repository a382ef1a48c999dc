#include "protocols/FieldbusProtocol.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "commonbase/ModuleFolder.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

using commonbase::cat;

namespace {

const std::string autoBaudrate = "AUTO";
// No bus has more addresses than this; wider intervals are typing errors.
constexpr std::uint32_t maxIntervalWidth = 65535;

std::map<std::uint16_t, std::string>& errorTextMap()
{
    static std::map<std::uint16_t, std::string> texts;
    return texts;
}

FieldbusProtocol::ErrorDocumentSource& errorDocumentSource()
{
    static FieldbusProtocol::ErrorDocumentSource source;
    return source;
}

std::once_flag& errorTextsOnce()
{
    static std::once_flag flag;
    return flag;
}

std::string eightDigits(std::uint32_t value)
{
    std::ostringstream s;
    s << std::setw(8) << std::setfill('0') << value;
    return s.str();
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string idsText(const std::set<std::uint32_t>& ids)
{
    std::string text;
    for (auto id : ids) {
        if (!text.empty()) text += ",";
        text += std::to_string(id);
    }
    return text;
}

} // namespace

FieldbusProtocol::FieldbusProtocol(std::string name, Constants c, std::shared_ptr<HardwareInterface> hw)
    : protocolName(std::move(name)), constants(std::move(c)), hardwareInterface(std::move(hw))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    readErrorTexts();
}

FieldbusProtocol::~FieldbusProtocol()
{
    commonbase::DbgInfo(0, __FILE__, "Destructor");
}

FieldbusProtocol::Constants FieldbusProtocol::constantsFor(const std::string& name)
{
    Constants c;
    if (name == "VorlaneRS485") {
        c.defaultBaudrate = "19200";
        c.baudrates = {"9600", "19200", "38400", autoBaudrate};
        c.scanMinimum = 1; c.scanMaximum = 31;
        c.flashMinimum = 1; c.flashMaximum = 31;
        c.defaultDeviceAddress = 1;
        c.frameFormats = {"E,7,1"};
        c.defaultFrameFormat = "E,7,1";
    } else if (name == "CanOpen_QTA" || name == "CanOpen_KVX") {
        c.defaultBaudrate = "125k";
        c.baudrates = {"125k", "250k", "500k", autoBaudrate};
        c.scanMinimum = 1; c.scanMaximum = 127;
        c.flashMinimum = 1; c.flashMaximum = 127;
        c.defaultDeviceAddress = 127;
    } else if (name == "DeviceNetCan") {
        c.defaultBaudrate = "125k";
        c.baudrates = {"125k", "250k", "500k"};
        c.scanMinimum = 0; c.scanMaximum = 63;
        c.flashMinimum = 0; c.flashMaximum = 63;
        c.defaultDeviceAddress = 63;
    } else if (name == "ModbusRS485") {
        c.defaultBaudrate = "19200";
        c.baudrates = {"9600", "19200", "38400", autoBaudrate};
        c.scanMinimum = 1; c.scanMaximum = 247;
        c.flashMinimum = 1; c.flashMaximum = 248;
        c.defaultDeviceAddress = 248;
        c.frameFormats = {"N,8,1", "E,8,1", "O,8,1", "N,8,2"};
        c.defaultFrameFormat = "E,8,1";
    } else if (name == "ModbusTCP") {
        c.defaultBaudrate = "";
        c.baudrates = {""};
        c.scanMinimum = 1; c.scanMaximum = 247;
        c.flashMinimum = 1; c.flashMaximum = 248;
        c.defaultDeviceAddress = 248;
    }
    return c;
}

std::int32_t FieldbusProtocol::readIdentification(std::uint32_t address, std::string&, std::string&, std::string&,
                                                  std::string& motorType, std::string& serialNumber)
{
    commonbase::Dbg dbg(0, __FILE__, cat("readIdentification(", address, ")"));
    std::uint32_t value = 0;
    if (readParameter(address, 4, 5, 13, value) == 1)
        motorType = eightDigits(value);
    else
        motorType.clear();
    value = 0;
    std::int32_t result = readParameter(address, 4, 1, 23, value);
    if (result == 1) {
        serialNumber = eightDigits(value);
    } else {
        serialNumber.clear();
        result = 0;
    }
    return result;
}

std::int32_t FieldbusProtocol::openInterface(std::uint32_t)
{
    commonbase::Dbg dbg(0, __FILE__, "openInterface");
    auto hw = getHardwareInterface();
    if (!hw) {
        setLastError(0, "no hardware interface chosen");
        return 0;
    }
    return hw->openInterface();
}

std::int32_t FieldbusProtocol::setBaudrate(std::uint32_t)
{
    return 1;
}

std::int32_t FieldbusProtocol::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "closeInterface");
    auto hw = getHardwareInterface();
    if (!hw) return 0;
    return hw->closeInterface();
}

std::int32_t FieldbusProtocol::detectBaudrate(std::uint32_t address)
{
    commonbase::Dbg dbg(0, __FILE__, cat("detectBaudrate(", address, ")"));
    const auto& rates = constants.baudrates;
    for (std::size_t i = rates.size(); i-- > 0;) {
        std::uint32_t rate = commonbase::leadingDecimal(rates[i]);
        if (rate == 0) continue;
        if (ping(address, rate) == 1) {
            commonbase::DbgInfo(1, __FILE__, cat("detectBaudrate found ", rates[i]));
            return static_cast<std::int32_t>(i);
        }
    }
    return 0;
}

std::int32_t FieldbusProtocol::readData(std::uint32_t, std::uint16_t, std::uint16_t, std::string&, std::uint32_t)
{
    return 0;
}

std::int32_t FieldbusProtocol::sendData(std::uint32_t, std::uint16_t, std::uint16_t,
                                        const std::vector<std::uint8_t>&, std::uint32_t)
{
    return 0;
}

std::int32_t FieldbusProtocol::sendProtocol(GenericParameters& request, GenericParameters& response)
{
    auto hw = getHardwareInterface();
    if (!hw) {
        setLastError(0, "no hardware interface chosen");
        return 0;
    }
    std::int32_t result = hw->sendMessage(request, response);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        lastErrorCode = hw->getLastErrorCode();
    }
    return result;
}

void FieldbusProtocol::getErrorMessage(const std::string& name)
{
    std::uint32_t code = getLastErrorCode();
    if (code == 0) return;
    std::string text;
    const auto& source = errorDocumentSource();
    auto doc = source ? source() : nullptr;
    if (doc) {
        std::string value;
        if (doc->readValue(value, "Protocol/" + name + "/Label", "id=0x" + commonbase::toHex(code, 8)))
            text = value;
    }
    if (text.empty()) text = errcodesText(static_cast<std::uint16_t>(code & 0xffffu));
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        lastErrorText = text;
    }
    commonbase::DbgInfo(1, __FILE__, cat("getErrorMessage(", text, " ", commonbase::toHex(code, 8), ")"));
}

std::int32_t FieldbusProtocol::ping(std::uint32_t address, std::uint32_t baud)
{
    commonbase::DbgInfo(0, __FILE__, cat("Default-Ping(", address, ",", baud, ")"));
    return 0;
}

std::vector<std::string> FieldbusProtocol::getKnownProtocols()
{
    commonbase::DbgInfo(0, __FILE__, "getKnownProtocols");
    return {"ModbusRS485", "DeviceNetCan", "VorlaneRS485", "CanOpen_QTA", "CanOpen_KVX", "ModbusTCP"};
}

std::vector<std::string> FieldbusProtocol::getNetworkscanProtocols()
{
    commonbase::DbgInfo(0, __FILE__, "getNetworkscanProtocols");
    return {"ModbusRS485", "DeviceNetCan", "VorlaneRS485", "CanOpen_QTA", "CanOpen_KVX"};
}

std::set<std::uint32_t> FieldbusProtocol::splitRange(const std::string& text, std::uint32_t minimum,
                                                     std::uint32_t maximum)
{
    commonbase::DbgInfo(0, __FILE__, cat("splitRange(", text, ")"));
    std::set<std::uint32_t> ids;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '-' && c != ',') return {};
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        std::size_t dash = piece.find('-');
        if (dash == std::string::npos) {
            auto n = commonbase::parseDecimal(piece);
            if (!n || *n < minimum || *n > maximum) return {};
            ids.insert(*n);
        } else {
            auto a = commonbase::parseDecimal(piece.substr(0, dash));
            auto b = commonbase::parseDecimal(piece.substr(dash + 1));
            if (!a || !b) return {};
            if (*a > *b) continue;
            // Check the bounds before expanding, so a huge interval costs nothing.
            if (*a < minimum || *b > maximum) return {};
            if (*b - *a > maxIntervalWidth) return {};
            for (std::uint64_t n = *a; n <= *b; ++n) ids.insert(static_cast<std::uint32_t>(n));
        }
    }
    return ids;
}

std::int32_t FieldbusProtocol::setScanRange(const std::string& text)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setScanRange (", text, ")"));
    if (text.empty()) return 0;
    auto ids = splitRange(text, constants.scanMinimum, constants.scanMaximum);
    if (ids.empty()) return 0;
    std::lock_guard<std::mutex> lock(stateMutex);
    scanRangeIds = std::move(ids);
    scanRangeText = text;
    return 1;
}

std::int32_t FieldbusProtocol::setFlashRange(const std::string& text)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setFlashRange (", text, ")"));
    if (text.empty()) return 0;
    auto ids = splitRange(text, constants.flashMinimum, constants.flashMaximum);
    if (ids.empty()) return 0;
    std::lock_guard<std::mutex> lock(stateMutex);
    flashRangeIds = std::move(ids);
    flashRangeText = text;
    return 1;
}

bool FieldbusProtocol::isAddressable(std::uint32_t address) const
{
    return address >= std::min(constants.scanMinimum, constants.flashMinimum) &&
           address <= std::max(constants.scanMaximum, constants.flashMaximum);
}

std::string FieldbusProtocol::addressBoundsText() const
{
    return cat(std::min(constants.scanMinimum, constants.flashMinimum), "-",
               std::max(constants.scanMaximum, constants.flashMaximum));
}

std::string FieldbusProtocol::outOfBoundsText(std::uint32_t address) const
{
    return cat("id ", address, " is outside ", addressBoundsText(), " for ", protocolName);
}

std::string FieldbusProtocol::rangeRefusalText(const std::string& text, bool flash) const
{
    const std::uint32_t low = flash ? constants.flashMinimum : constants.scanMinimum;
    const std::uint32_t high = flash ? constants.flashMaximum : constants.scanMaximum;
    return cat("range '", text, "' is not a list of ids and intervals a-b within ", low, "-", high, " for ",
               protocolName);
}

bool FieldbusProtocol::checkScanRange(const std::string& text) const
{
    return !splitRange(text, constants.scanMinimum, constants.scanMaximum).empty();
}

std::string FieldbusProtocol::getScanRange() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, cat("getScanRange = ", scanRangeText));
    return scanRangeText;
}

std::set<std::uint32_t> FieldbusProtocol::getScanRangeIds() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, cat("getScanRangeIds(=", idsText(scanRangeIds), ")"));
    return scanRangeIds;
}

std::set<std::uint32_t> FieldbusProtocol::getFlashRangeIds() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, cat("getFlashRangeIds(=", idsText(flashRangeIds), ")"));
    return flashRangeIds;
}

bool FieldbusProtocol::asciiToBin(std::vector<std::uint8_t>& bytes, const std::string& text)
{
    commonbase::DbgInfo(0, __FILE__, cat("asciiToBin(", text, ",", text.size(), ")"));
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        int high = hexDigit(text[i]);
        int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

std::string FieldbusProtocol::binToAscii(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) text += commonbase::toHex(b, 2);
    return text;
}

std::uint32_t FieldbusProtocol::getLastErrorCode() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, cat("getLastErrorCode() = ", lastErrorCode));
    return lastErrorCode;
}

std::string FieldbusProtocol::getLastErrorString() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    commonbase::DbgInfo(0, __FILE__, cat("getLastErrorString() = ", lastErrorText));
    return lastErrorText;
}

void FieldbusProtocol::setLastError(std::uint32_t code, std::string text)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    lastErrorCode = code;
    lastErrorText = std::move(text);
}

void FieldbusProtocol::setHardwareInterface(std::shared_ptr<HardwareInterface> hw)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    hardwareInterface = std::move(hw);
}

std::shared_ptr<HardwareInterface> FieldbusProtocol::getHardwareInterface() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return hardwareInterface;
}

FieldbusProtocol::OperationGuard::OperationGuard(std::shared_ptr<std::recursive_mutex> busMutex_,
                                                 std::recursive_mutex& operationMutex)
    : busMutex(std::move(busMutex_))
{
    if (busMutex)
        bus = std::unique_lock<std::recursive_mutex>(*busMutex);
    operation = std::unique_lock<std::recursive_mutex>(operationMutex);
}

FieldbusProtocol::OperationGuard FieldbusProtocol::lockOperation()
{
    auto hw = getHardwareInterface();
    return OperationGuard(hw ? hw->getMutex() : nullptr, operationMutex);
}

void FieldbusProtocol::logIdentification(std::uint32_t address, const std::string& originalVendorName,
                                         const std::string& vendorName, const std::string& originalProductCode,
                                         const std::string& productCode, const std::string& version,
                                         const std::string& motorType, const std::string& serialNumber) const
{
    const std::string prefix = cat("#", address);
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": VendorName (original)    = [", originalVendorName, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": VendorName (translated)  = [", vendorName, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": ProductCode (original)   = [", originalProductCode, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": ProductCode (translated) = [", productCode, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": Version                  = [", version, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": Motortype                = [", motorType, "]"));
    commonbase::DbgInfo(1, __FILE__, cat(prefix, ": Serialnumber             = [", serialNumber, "]"));
}

std::string FieldbusProtocol::errcodesText(std::uint16_t code)
{
    readErrorTexts();
    const auto& texts = errorTextMap();
    auto it = texts.find(code);
    return it == texts.end() ? std::string() : it->second;
}

std::map<std::uint16_t, std::string> FieldbusProtocol::readErrorTextFile(const std::string& path)
{
    std::map<std::uint16_t, std::string> texts;
    std::ifstream in(path);
    if (!in) {
        commonbase::DbgInfo(2, __FILE__, cat("Errorcodes file: ", path, " not found !"));
        return texts;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = commonbase::trim(line.substr(0, eq));
        if (key.size() > 2 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X')) key = key.substr(2);
        auto number = commonbase::parseHex(key);
        if (!number || *number == 0 || *number > 0xffffu) continue;
        texts[static_cast<std::uint16_t>(*number)] = line.substr(eq + 1);
    }
    return texts;
}

void FieldbusProtocol::setErrorDocumentSource(ErrorDocumentSource source)
{
    errorDocumentSource() = std::move(source);
}

void FieldbusProtocol::readErrorTexts()
{
    std::call_once(errorTextsOnce(), [] {
        std::string path = commonbase::moduleFolder();
        if (!path.empty() && path.back() != '/') path += '/';
        path += "errcodes.ini";
        commonbase::DbgInfo(0, __FILE__, cat("readErrorTexts ", path));
        errorTextMap() = readErrorTextFile(path);
    });
}

std::int32_t FieldbusProtocol::readStringParameter(std::uint32_t address, std::uint16_t index,
                                                   std::uint16_t firstSubindex, std::uint32_t length,
                                                   std::string& text)
{
    commonbase::Dbg dbg(0, __FILE__, cat("readStringParameter(", address, ",", index, ",", firstSubindex, ",",
                                         length, ")"));
    text.clear();
    text.reserve(length);
    std::int32_t result = 0;
    for (std::uint32_t i = 0; i < length / 4; ++i) {
        std::uint32_t value = 0;
        result = readParameter(address, 4, index, static_cast<std::uint16_t>(firstSubindex + i), value);
        if (result != 1) {
            text.clear();
            break;
        }
        if (value == 0) continue;
        for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((value >> shift) & 0xffu);
    }
    return result;
}

} // namespace Kavrel
