#include "flashtools/FlashProtocol.h"

#include <thread>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusDevice.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;
using commonbase::toHex;

const FlashProtocol::Bytes FlashProtocol::actionFlashRequest{0x00, 0x00, 0xA5, 0x50};
const FlashProtocol::Bytes FlashProtocol::actionApiAddressLength{0x00, 0x00, 0x00, 0x01};
const FlashProtocol::Bytes FlashProtocol::actionApiData{0x00, 0x00, 0x00, 0x02};
const FlashProtocol::Bytes FlashProtocol::actionJumpToApi{0x00, 0x00, 0x00, 0x03};
const FlashProtocol::Bytes FlashProtocol::actionEraseSections{0x00, 0x00, 0x00, 0x04};
const FlashProtocol::Bytes FlashProtocol::actionEraseStatus{0x00, 0x00, 0x00, 0x05};
const FlashProtocol::Bytes FlashProtocol::actionFlashAddressLength{0x00, 0x00, 0x00, 0x06};
const FlashProtocol::Bytes FlashProtocol::actionFlashData{0x00, 0x00, 0x00, 0x07};
const FlashProtocol::Bytes FlashProtocol::actionFinish{0x00, 0x00, 0x00, 0x08};
const FlashProtocol::Bytes FlashProtocol::actionSectionMask{0x00, 0x00, 0x03, 0xFF};
const FlashProtocol::Bytes FlashProtocol::actionTestWord{'T', 'E', 'S', 'T'};

namespace {

std::string hexBytes(const std::vector<std::uint8_t>& bytes, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i)
        out += toHex(bytes[i], 2, true);
    return out;
}

// Marks the device as downloading for as long as the download runs, and lets
// the variant put the bus back when it ends, whatever the outcome.
class DownloadScope {
public:
    DownloadScope(FieldbusDevice* device_, FlashProtocol& protocol_) : device(device_), protocol(protocol_)
    {
        if (device)
            device->beginFlashDownload();
    }
    ~DownloadScope()
    {
        protocol.afterDownload();
        if (device)
            device->endFlashDownload();
    }
    DownloadScope(const DownloadScope&) = delete;
    DownloadScope& operator=(const DownloadScope&) = delete;

private:
    FieldbusDevice* device;
    FlashProtocol& protocol;
};

} // namespace

FlashProtocol::FlashProtocol(FieldbusProtocol* busProtocol_, FieldbusDevice* device_, std::uint32_t nodeAddress_)
    : busProtocol(busProtocol_), device(device_), nodeAddress(device_ ? device_->getUniqueId() : nodeAddress_)
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

FlashProtocol::~FlashProtocol() = default;

std::shared_ptr<FlashProtocol> FlashProtocol::create(const std::string& protocolName, FieldbusProtocol* busProtocol,
                                                     FieldbusDevice* device)
{
    if (protocolName == "ModbusRS485")
        return std::make_shared<FlashProtocolModbusRtu>(busProtocol, device);
    if (protocolName == "ModbusTCP")
        return std::make_shared<FlashProtocolModbusTCP>(busProtocol, device);
    return nullptr; // DeviceNet comes with its bus; the others have no download
}

void FlashProtocol::setFlashProcess(const std::shared_ptr<FlashProcess>& newProcess)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Only a download that is under way blocks: a finished or cancelled one
    // leaves the way open whatever its end state says.
    if ((process && process->isBusy()) || (newProcess && newProcess->isBusy()))
        throw FlashException::fromReason(FlashReason::busy);
    process = newProcess;
    cancel = false;
    // Every download reports its own failure, not one left from the last.
    lastErrorId = FlashException::generalFailure;
    lastErrorCode = 0;
    lastErrorText.clear();
}

std::shared_ptr<FlashProcess> FlashProtocol::getFlashProcess() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return process;
}

void FlashProtocol::setSettings(std::shared_ptr<FlashProtocolSettings> settings_)
{
    std::lock_guard<std::mutex> lock(mutex);
    settings = std::move(settings_);
}

std::shared_ptr<FlashProtocolSettings> FlashProtocol::getSettings() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return settings;
}

std::uint32_t FlashProtocol::getLastErrorCode() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastErrorCode;
}

std::string FlashProtocol::getLastErrorText() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastErrorText;
}

std::chrono::milliseconds FlashProtocol::getEraseTimeout() const
{
    auto s = getSettings();
    return s ? s->getEraseTimeout() : defaultEraseTimeout;
}

void FlashProtocol::recordBusFailure(std::uint32_t code, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    commonbase::DbgInfo(2, __FILE__, [&] { return cat("0x", toHex(lastErrorId, 8), ": ", text); });
    lastErrorCode = code;
    lastErrorText = text;
    lastErrorId = FlashException::errorIdForReason(FlashReason::writeRefused);
}

void FlashProtocol::recordFailureText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    commonbase::DbgInfo(2, __FILE__, text);
    lastErrorText = text;
}

std::unique_lock<std::recursive_mutex> FlashProtocol::lockBus() const
{
    auto hardware = busProtocol ? busProtocol->getHardwareInterface() : nullptr;
    auto m = hardware ? hardware->getMutex() : nullptr;
    if (!m)
        return {};
    return std::unique_lock<std::recursive_mutex>(*m); // every copy of the interface holds the mutex
}

std::size_t FlashProtocol::maxBlockSize() const
{
    const std::size_t n = busProtocol ? busProtocol->getMaxBlockSize() : 0;
    return n < 2 ? 2 : n & ~std::size_t(1); // whole words per block
}

void FlashProtocol::sleep(std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); }

bool FlashProtocol::step(const char* name, bool ok)
{
    commonbase::DbgInfo(1, __FILE__, [&] { return cat(name, " ", ok ? "true" : "false"); });
    return ok && !cancel;
}

void FlashProtocol::setupProtocolVersion(const std::shared_ptr<FlashData>&, const std::shared_ptr<FlashApiData>& apiData)
{
    version2 = apiData && apiData->getProtocolVersion() == 2;
}

bool FlashProtocol::send(const ParameterAddress& address, const Bytes& bytes)
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("send(", address.first, ",", address.third, ")"); });
    Bytes adapted = bytes;
    adaptData(adapted);
    std::int32_t result = 0;
    std::uint32_t code = 0;
    std::string text;
    {
        // The code and text must be this write's: nobody else may use the bus in between.
        auto lock = lockBus();
        result = busProtocol->sendData(nodeAddress, address.first, address.third, adapted,
                                       static_cast<std::uint32_t>(adapted.size()));
        code = busProtocol->getLastErrorCode();
        if (result == 0 || code != 0)
            text = busProtocol->getLastErrorString();
    }
    if (result != 0 && code == 0)
        return !cancel;
    recordBusFailure(code, text.empty() ? cat("write to ", address.first, ".", address.third, " refused") : text);
    return false;
}

void FlashProtocol::adaptData(Bytes&) {}

void FlashProtocol::encodeValue(std::uint32_t value, std::uint8_t* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
}

bool FlashProtocol::sendInfo(const Bytes& action)
{
    commonbase::DbgInfo(0, __FILE__, [&] {
        return action.size() < 2 ? std::string("FlashProtocol::sendInfo ?")
                                 : "FlashProtocol::sendInfo " + hexBytes(action, 2);
    });
    return send(commandParameter, action);
}

bool FlashProtocol::sendInfoAndData(const Bytes& action, const Bytes& data)
{
    return sendInfo(action) && send(dataParameter, data);
}

bool FlashProtocol::sendAddressAndLengthInfo(const Bytes& action, std::uint32_t address, std::uint32_t length)
{
    commonbase::DbgInfo(0, __FILE__, [&] {
        return cat("FlashProtocol::sendAddressAndLengthInfo(address = ", toHex(address, 1), ", length = ", length, ")");
    });
    if (!sendInfo(action))
        return false;
    Bytes record(8);
    encodeValue(length, record.data(), 4);
    encodeValue(address, record.data() + 4, 4);
    return send(dataParameter, record);
}

bool FlashProtocol::sendSegments(const SegmentList& segments, const Bytes& addressAction, const Bytes& dataAction,
                                 bool chunkMode)
{
    auto proc = getFlashProcess();
    proc->setMinorStepsTotal(static_cast<std::int32_t>(totalBytes(segments)));
    const std::size_t block = maxBlockSize();
    Bytes piece;
    piece.reserve(block);
    for (const auto& segment : segments) {
        std::uint32_t address = segment.getStartAddress();
        for (std::size_t c = 0; c < segment.chunkCount(); ++c) {
            const auto& chunk = segment.chunk(c);
            if (chunk.fill == 0)
                continue;
            if (chunkMode) {
                // A refused announcement ends the chunk at once: the blocks would land nowhere.
                if (!sendAddressAndLengthInfo(addressAction, address, chunk.fill / 2) || !sendInfo(dataAction))
                    return false;
            }
            std::uint32_t blockAddress = address;
            for (std::size_t at = 0; at < chunk.fill; at += block) {
                const std::size_t n = std::min<std::size_t>(block, chunk.fill - at);
                piece.assign(chunk.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             chunk.bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
                const bool ok = chunkMode ? send(dataParameter, piece)
                                          : sendAddressAndLengthInfo(addressAction, blockAddress,
                                                                     static_cast<std::uint32_t>(n / 2)) &&
                                                sendInfoAndData(dataAction, piece);
                if (!ok)
                    return false;
                proc->addMinorSteps(static_cast<std::int32_t>(n));
                blockAddress += static_cast<std::uint32_t>(n / 2);
            }
            address += chunk.fill / 2;
        }
    }
    return true;
}

bool FlashProtocol::doPrepair()
{
    commonbase::Dbg dbg(0, __FILE__, "FlashProtocol::setTestMode()");
    if (!send(testParameter, actionTestWord))
        return false;
    getFlashProcess()->setFlashState(FlashProcessState::Prepaired);
    return true;
}

bool FlashProtocol::sendFlashRequest()
{
    commonbase::Dbg dbg(0, __FILE__, "FlashProtocol::sendFlashRequest(ACTION_FLASH_REQUEST)");
    if (!send(requestParameter, actionFlashRequest))
        return false;
    auto proc = getFlashProcess();
    proc->setFlashState(FlashProcessState::Requested);
    proc->setFlashState(FlashProcessState::Requested);
    sleep(fixedWait);
    return true;
}

bool FlashProtocol::afterApiJump()
{
    sleep(fixedWait);
    return true;
}

std::uint32_t FlashProtocol::erasedSections(std::uint32_t mask)
{
    std::uint32_t left = 0;
    for (int bit = 0; bit < 10; ++bit)
        left += (mask >> bit) & 1u;
    return 10 - left;
}

bool FlashProtocol::readEraseProgress(std::uint32_t& count)
{
    auto lock = lockBus();
    if (!sendInfo(actionEraseStatus))
        return false;
    std::string buffer;
    const std::int32_t result = busProtocol->readData(nodeAddress, dataParameter.first, dataParameter.third, buffer, 2);
    const std::uint32_t code = busProtocol->getLastErrorCode();
    if (result == 0 || code != 0 || buffer.size() < 2) {
        recordBusFailure(code, busProtocol->getLastErrorString());
        return false;
    }
    lastMask = static_cast<std::uint8_t>(buffer[0]) + static_cast<std::uint8_t>(buffer[1]) * 256u;
    count = erasedSections(lastMask);
    return true;
}

bool FlashProtocol::waitForEraseSectionFinished()
{
    commonbase::Dbg dbg(0, __FILE__, "FlashProtocol::waitForEraseSectionFinished");
    const auto timeout = getEraseTimeout();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto proc = getFlashProcess();
    std::uint32_t count = 0;
    bool ok = readEraseProgress(count);
    if (ok)
        proc->setMinorStep(static_cast<std::int32_t>(count));
    while (ok && count < 10) {
        if (std::chrono::steady_clock::now() >= deadline) {
            recordFailureText(cat("erase not finished after ", timeout.count(), " ms, mask 0x", toHex(lastMask, 4)));
            return false;
        }
        sleep(fixedWait);
        ok = readEraseProgress(count);
        if (ok)
            proc->setMinorStep(static_cast<std::int32_t>(count));
    }
    return ok;
}

bool FlashProtocol::flash(const std::shared_ptr<FlashData>& flashData, const std::shared_ptr<FlashApiData>& apiData)
{
    commonbase::Dbg dbg(0, __FILE__, "FlashProtocol::flash()");
    auto proc = getFlashProcess();
    if (!proc)
        throw FlashException::fromReason(FlashReason::noProcess);
    // Both files are read whole before the first telegram (the caller normally did it already).
    const SegmentList& apiSegments = apiData->getSegments();
    const SegmentList& dataSegments = flashData->getSegments();
    DownloadScope scope(device, *this);
    proc->setFlashState(FlashProcessState::Starting);

    auto run = [&]() -> bool {
        setupProtocolVersion(flashData, apiData);
        if (cancel) return false;
        if (!step("FlashProtocol::doPrepair", doPrepair())) return false;
        if (!step("FlashProtocol::sendFlashRequest", sendFlashRequest())) return false;

        proc->setFlashState(FlashProcessState::ApiPrepaired);
        proc->setFlashState(FlashProcessState::ApiSending, true, true);
        if (!step("FlashProtocol::sendApiData",
                  sendSegments(apiSegments, actionApiAddressLength, actionApiData, false)))
            return false;
        proc->setFlashState(FlashProcessState::ApiSend);
        {
            commonbase::Dbg jump(0, __FILE__, "FlashProtocol::sendJumpFlashAPI(JumpFlashAPI)");
            if (!step("FlashProtocol::sendJumpFlashAPI", sendInfo(actionJumpToApi))) return false;
        }
        if (!step("FlashProtocol::afterApiJump", afterApiJump())) return false;
        proc->setFlashState(FlashProcessState::ApiFinished);

        if (!step("FlashProtocol::sendEraseSectionsCommand",
                  sendInfo(actionEraseSections) && send(dataParameter, actionSectionMask)))
            return false;
        proc->setFlashState(FlashProcessState::EraseSectionCommandSend);
        proc->setFlashStateWithMinorSteps(FlashProcessState::ErasingSections, 10);
        if (!step("FlashProtocol::doEraseFlashSections", waitForEraseSectionFinished())) return false;
        proc->setFlashState(FlashProcessState::ErasedAllSections);

        proc->setFlashState(FlashProcessState::FlashDataSending, true, true);
        if (!step("FlashProtocol::sendFlashData",
                  sendSegments(dataSegments, actionFlashAddressLength, actionFlashData, version2)))
            return false;
        proc->setFlashState(FlashProcessState::FlashDataSend);
        {
            commonbase::Dbg finish(0, __FILE__, "FlashProtocolDeviceNet::sendFinish(ACTION_FINISH)");
            if (!step("FlashProtocol::sendFinish", sendInfo(actionFinish))) return false;
        }
        proc->setFlashState(FlashProcessState::Finished);
        return true;
    };
    const bool ok = run();
    commonbase::DbgInfo(1, __FILE__, [&] { return cat("FlashProtocol::flash ", ok ? "true" : "false"); });
    if (ok)
        return true;
    std::uint32_t id = 0, code = 0;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = lastErrorId;
        code = lastErrorCode;
        text = lastErrorText;
    }
    if (id == 0)
        return false;
    std::string detail;
    if (code != 0)
        detail = cat("(bus error 0x", toHex(code, 8, true), (text.empty() ? "" : ": "), text, ")");
    else if (!text.empty())
        detail = "(" + text + ")";
    throw FlashException::fromErrorId(id, detail);
}

bool FlashProtocolModbus::readEraseProgress(std::uint32_t& count)
{
    auto lock = lockBus();
    if (!sendInfo(actionEraseStatus))
        return false;
    std::string digits;
    const std::int32_t result = busProtocol->readData(nodeAddress, dataParameter.first, dataParameter.third, digits, 8);
    const std::uint32_t code = busProtocol->getLastErrorCode();
    if (result == 0 || code != 0) {
        recordBusFailure(code, busProtocol->getLastErrorString());
        return false;
    }
    const auto value = digits.size() == 8 ? commonbase::parseHex(digits) : std::nullopt;
    if (!value) {
        recordFailureText("erase status is not 8 hex digits: '" + digits + "'");
        return false;
    }
    lastMask = static_cast<std::uint32_t>(*value & 0xFFFFu);
    count = erasedSections(lastMask);
    return true;
}

bool FlashProtocolModbusRtu::afterApiJump()
{
    if (!FlashProtocolModbus::afterApiJump())
        return false;
    auto rtu = std::dynamic_pointer_cast<FlashProtocolSettingsModbusRTU>(getSettings());
    if (!rtu)
        return true;
    auto lock = lockBus();
    auto hardware = busProtocol->getHardwareInterface();
    const std::uint32_t configured = hardware ? hardware->getBaudrate() : 0;
    commonbase::DbgInfo(1, __FILE__, [&] { return cat("flash baud rate ", rtu->getBaudrate(), " (line at ", configured, ")"); });
    restoreRate = configured;
    if (busProtocol->setBaudrate(rtu->getBaudrate()) != 1) {
        recordBusFailure(busProtocol->getLastErrorCode(), "the line could not be switched to " +
                                                                std::to_string(rtu->getBaudrate()) + " Bd: " +
                                                                busProtocol->getLastErrorString());
        return false;
    }
    return true;
}

void FlashProtocolModbusRtu::afterDownload()
{
    if (restoreRate == 0)
        return;
    auto lock = lockBus();
    if (busProtocol->setBaudrate(restoreRate) != 1)
        commonbase::DbgInfo(3, __FILE__, cat("the line could not be set back to ", restoreRate, " Bd"));
    restoreRate = 0;
}

} // namespace Kavrel
