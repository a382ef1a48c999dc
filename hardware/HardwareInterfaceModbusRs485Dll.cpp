#include "hardware/HardwareInterfaceModbusRs485Dll.h"

#include <mutex>
#include <vector>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "commonbase/ModuleFolder.h"
#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"

namespace Kavrel {

using commonbase::cat;

namespace {

// Result codes of the library.
constexpr int resultOk = 0;
constexpr int resultNotOpen = 1;
constexpr int resultBadArgument = 2;
constexpr int resultOpenFailed = 3;
constexpr int resultSendFailed = 4;
constexpr int resultTimeout = 5;
constexpr int resultCrc = 6;
constexpr int resultBadReply = 7;

// Format bits of the library's mbOpen.
constexpr int parityEven = 1;
constexpr int parityOdd = 2;
constexpr int twoStopBits = 4;
constexpr int sevenDataBits = 8;

// A hex-text answer of at most 256 frame bytes, with room to spare.
constexpr int answerBufferSize = 1024;

} // namespace

HardwareInterfaceModbusRs485Dll::HardwareInterfaceModbusRs485Dll()
    : HardwareInterfaceModbusRs485Dll(commonbase::moduleFolder())
{
}

HardwareInterfaceModbusRs485Dll::HardwareInterfaceModbusRs485Dll(const std::string& libraryDirectory)
    : library(std::make_shared<DllWrapper>(libraryName, libraryDirectory))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    resolve();
}

HardwareInterfaceModbusRs485Dll::HardwareInterfaceModbusRs485Dll(const HardwareInterfaceModbusRs485Dll& other)
    : HardwareInterface(other), library(other.library), entry(other.entry)
{
    // A copy starts closed: only the object that opened the port closes it.
}

HardwareInterfaceModbusRs485Dll::~HardwareInterfaceModbusRs485Dll()
{
    if (open && entry) {
        std::lock_guard<std::recursive_mutex> lock(*mutex);
        entry->mbClose();
        open = false;
    }
}

void HardwareInterfaceModbusRs485Dll::resolve()
{
    auto e = std::make_shared<EntryPoints>();
    e->mbOpen = library->getFunction<decltype(e->mbOpen)>("mbOpen");
    e->mbClose = library->getFunction<decltype(e->mbClose)>("mbClose");
    e->mbDirect = library->getFunction<decltype(e->mbDirect)>("mbDirect");
    e->mbWriteObj = library->getFunction<decltype(e->mbWriteObj)>("mbWriteObj");
    e->mbReadObj = library->getFunction<decltype(e->mbReadObj)>("mbReadObj");
    e->setTimeout = library->getFunction<decltype(e->setTimeout)>("SetTimeout");
    e->getTimeout = library->getFunction<decltype(e->getTimeout)>("_GetTimeout@12");
    e->mbGetVersionLib = library->getFunction<decltype(e->mbGetVersionLib)>("mbGetVersionLib");
    entry = std::move(e);
}

int HardwareInterfaceModbusRs485Dll::formatCode(const std::string& parity, const std::string& dataBits,
                                                const std::string& stopBits)
{
    int code = 0;
    const std::string p = commonbase::trim(parity);
    if (p == "E")
        code |= parityEven;
    else if (p == "O")
        code |= parityOdd;
    else if (p != "N")
        return -1;
    const std::string d = commonbase::trim(dataBits);
    if (d == "7")
        code |= sevenDataBits;
    else if (d != "8" && !d.empty())
        return -1;
    const std::string s = commonbase::trim(stopBits);
    if (s == "2")
        code |= twoStopBits;
    else if (s != "1")
        return -1;
    return code;
}

void HardwareInterfaceModbusRs485Dll::setPort(const std::string& path)
{
    name = path;
    nameToOpen = path;
}

void HardwareInterfaceModbusRs485Dll::setLibraryError(int result, const std::string& during)
{
    std::uint32_t code = errorNoAnswer;
    std::string what;
    switch (result) {
    case resultNotOpen: code = errorOpen; what = "no port is open"; break;
    case resultBadArgument: code = errorNoAnswer; what = "the library refused the request or its settings"; break;
    case resultOpenFailed: code = errorOpen; what = "the port could not be opened"; break;
    case resultSendFailed: code = errorNoAnswer; what = "the request could not be written"; break;
    case resultTimeout: code = errorNoAnswer; what = "no answer within the time-out"; break;
    case resultCrc: code = errorCrc; what = "the answer has a wrong CRC"; break;
    case resultBadReply: code = errorShortReply; what = "the answer ended early or is too long"; break;
    default: what = cat("the library failed with ", result); break;
    }
    setError(code, cat(during, ": ", what));
    commonbase::DbgInfo(3, __FILE__, getLastErrorText());
}

std::int32_t HardwareInterfaceModbusRs485Dll::getAvailableInterfaces(HardwareInterfaceList& list)
{
    commonbase::Dbg dbg(0, __FILE__, "getAvailableInterfaces()");
    const auto ports = HardwareInterfaceSerialPort_Enumerator::enumerate();
    for (const auto& port : ports) {
        auto copy = std::make_shared<HardwareInterfaceModbusRs485Dll>(*this);
        copy->name = port.path;
        copy->nameToOpen = port.path;
        copy->number = port.number;
        list.push_back(std::move(copy));
    }
    return static_cast<std::int32_t>(ports.size());
}

std::int32_t HardwareInterfaceModbusRs485Dll::openInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "openInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    const std::string parity = parameters.getText(0);
    const std::string dataBits = parameters.getText(1);
    const std::string stopBits = parameters.getText(2);
    commonbase::DbgInfo(1, __FILE__, cat("Parity: ", parity));
    if (formatCode(parity, "8", "1") < 0) {
        commonbase::DbgInfo(4, __FILE__, "Parity error");
        setError(errorOpen, cat("parity '", parity, "' is not N, E or O"));
        return 0;
    }
    commonbase::DbgInfo(1, __FILE__, cat("StopBits: ", stopBits));
    if (formatCode("N", "8", stopBits) < 0) {
        commonbase::DbgInfo(4, __FILE__, "Stopbits error");
        setError(errorOpen, cat("stop bits '", stopBits, "' are not 1 or 2"));
        return 0;
    }
    const int format = formatCode(parity, dataBits, stopBits);
    if (format < 0) {
        setError(errorOpen, cat("data bits '", dataBits, "' are not 7 or 8"));
        commonbase::DbgInfo(3, __FILE__, getLastErrorText());
        return 0;
    }
    if (open) {
        entry->mbClose();
        open = false;
    }
    const int result = entry->mbOpen(nameToOpen.c_str(), static_cast<int>(baudrate), format);
    if (result != resultOk) {
        setLibraryError(result == resultNotOpen ? resultOpenFailed : result,
                        cat("mbOpen(", nameToOpen, ",", baudrate, ",", format, ")"));
        return 0;
    }
    open = true;
    int turnaround = 0, reply = 0, character = 0;
    entry->getTimeout(&turnaround, &reply, &character);
    entry->setTimeout(turnaround, replyTimeoutMs, characterTimeoutMs);
    clearError();
    return 1;
}

std::int32_t HardwareInterfaceModbusRs485Dll::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "closeInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (!open)
        return 0;
    open = false;
    return entry->mbClose() == resultOk ? 1 : 0;
}

std::int32_t HardwareInterfaceModbusRs485Dll::sendMessage(const GenericParameters& request,
                                                          GenericParameters& response)
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (!open) {
        setLibraryError(resultNotOpen, "sendMessage()");
        return 0;
    }
    std::vector<char> answer(answerBufferSize, '\0');
    const std::string text = request.bytesAsText();
    const int result = entry->mbDirect(text.c_str(), answer.data(), answerBufferSize);
    if (result != resultOk) {
        setLibraryError(result, cat("mbDirect(", text, ")"));
        return 0;
    }
    answer.back() = '\0';
    response.setBytes(answer.data());
    clearError();
    return 1;
}

} // namespace Kavrel
