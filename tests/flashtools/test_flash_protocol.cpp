// The download's telegrams and states, against an in-memory bus protocol.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>

#include "commonbase/StringUtil.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "flashtools/FlashProtocol.h"
#include "protocols/FieldbusProtocol.h"
#include "support/SrecFiles.h"

using namespace Kavrel;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Keeps every write and answers erase-status reads from a script.
class FakeBus : public FieldbusProtocol {
public:
    FakeBus() : FieldbusProtocol("Fake", {}) {}
    std::int32_t readParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t&) override { return 0; }
    std::int32_t writeParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t) override { return 0; }
    std::int32_t initUpload(std::uint32_t) override { return 0; }
    std::int32_t getUpload(std::uint32_t, std::uint32_t, std::uint32_t, std::string&, std::uint32_t&) override { return 0; }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 0; }
    std::uint32_t getMaxBlockSize() override { return 246; }
    std::int32_t sendData(std::uint32_t, std::uint16_t index, std::uint16_t subindex, const Bytes& buffer,
                          std::uint32_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        writes.push_back({index, subindex, Bytes(buffer.begin(), buffer.begin() + size)});
        if (onWrite) onWrite(writes.size());
        if (refuseAt != writes.size()) return setLastError(0), 1;
        setLastError(0x80040608, "drive said no");
        return 0;
    }
    std::int32_t readData(std::uint32_t, std::uint16_t, std::uint16_t, std::string& buffer, std::uint32_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++reads;
        const std::uint32_t mask = masks.empty() ? 0 : masks.front();
        if (masks.size() > 1) masks.erase(masks.begin());
        setLastError(0);
        if (size == 8) buffer = commonbase::toHex(mask, 8, true); // Modbus: hex digits
        else buffer = std::string{static_cast<char>(mask & 0xFF), static_cast<char>(mask >> 8)};
        return 1;
    }
    struct Write { std::uint16_t index, subindex; Bytes bytes; };
    std::mutex mutex;
    std::vector<Write> writes;
    std::vector<std::uint32_t> masks{0x3FF, 0x0F0, 0};
    std::size_t refuseAt = 0, reads = 0; // refuseAt: the 1-based write that is refused
    std::function<void(std::size_t)> onWrite;
};

struct Files : kavreltest::FlashFiles {
    std::shared_ptr<FlashData> data = createFlashData(imageFile);
    std::shared_ptr<FlashApiData> api = createFlashApiData(loaderFile);
    Files(std::size_t bytes, int version) : FlashFiles(bytes, version, 300) {}
};

// One download on the fake bus, recording the process's events.
struct Download : commonbase::EventDispatcherListener<FlashProcessEvent>,
                  commonbase::EventDispatcherListener<FlashExceptionEvent> {
    FakeBus bus;
    std::shared_ptr<FlashProtocol> protocol;
    std::shared_ptr<FlashProcess> process = std::make_shared<FlashProcess>(false);
    std::vector<std::int32_t> majors, ends;
    std::vector<std::shared_ptr<const FlashException>> exceptions;
    FlashProcessState last;
    explicit Download(bool modbus = true)
        : protocol(modbus ? std::make_shared<FlashProtocolModbusTCP>(&bus, nullptr, 5)
                          : std::make_shared<FlashProtocol>(&bus, nullptr, 5))
    {
        process->FlashProcessEventDispatcher::addListener(this);
        process->FlashExceptionEventDispatcher::addListener(this);
    }
    ~Download() override { process->removeListenerAndWait(this, this); }
    void handleEvent(const FlashProcessEvent& e) override
    {
        if (e.reason == FlashProcessEvent::MajorStep) majors.push_back(e.state.getFlashState());
        if (e.reason == FlashProcessEvent::EndChange) ends.push_back(e.state.getEndState());
        last = e.state;
    }
    void handleEvent(const FlashExceptionEvent& e) override { exceptions.push_back(e.exception); }
    void flash(Files& f)
    {
        protocol->setFlashProcess(process);
        process->flash(f.data, f.api, protocol);
    }
};

} // namespace

// Every telegram of a download in either loader version, as written into the drive's registers;
// the polls are the erase-status reads answered 0x3FF, 0x0F0, 0.
TEST(FlashProtocolTelegrams, EveryTelegramOfBothVersionsAndTheStates)
{
    for (int version : {1, 2}) {
        SCOPED_TRACE(version);
        Files files(5000, version);
        Download run;
        run.flash(files);
        auto data = files.image;
        data.push_back(kavreltest::checksumSegment(files.image));
        std::vector<kavreltest::Telegram> want;
        for (const auto& t : kavreltest::download(files.loader, data, version).t)
            for (int n = 0; n < (t.kind == kavreltest::Kind::poll ? 3 : 1); ++n)
                want.push_back(t.kind == kavreltest::Kind::poll ? kavreltest::Telegram{t.kind, kavreltest::regCommand, {0, 5}} : t);
        ASSERT_EQ(run.bus.writes.size(), want.size());
        for (std::size_t k = 0; k < want.size(); ++k) {
            const auto& w = run.bus.writes[k];
            std::vector<std::uint16_t> words;
            for (std::size_t i = 0; i + 1 < w.bytes.size(); i += 2) words.push_back(static_cast<std::uint16_t>(w.bytes[i] << 8 | w.bytes[i + 1]));
            ASSERT_EQ((w.index * 128 + w.subindex) * 2, want[k].reg) << "telegram " << k;
            ASSERT_EQ(words, want[k].words) << "telegram " << k;
        }
        EXPECT_EQ(run.bus.reads, 3u);
        EXPECT_EQ(run.majors, (std::vector<std::int32_t>{1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
        EXPECT_EQ(run.ends, (std::vector<std::int32_t>{1, 2}));
        EXPECT_EQ(run.last.minor().current, 5004);
        EXPECT_TRUE(run.exceptions.empty());
    }
}

TEST(FlashProtocolFailures, RefusalOrCancelAtEveryStepStopsThere)
{
    Files files(600, 1);
    Download probe;
    probe.flash(files);
    const std::size_t total = probe.bus.writes.size();
    // Refused: test word, request, first API record, jump, erase, a status poll, first data, finish.
    // Cancelled: in the first steps, the API, the erase, the data.
    struct Case { std::size_t at; bool cancel; } cases[] = {
        {1, false}, {2, false}, {3, false}, {11, false}, {12, false}, {14, false}, {17, false}, {total, false},
        {1, true}, {4, true}, {13, true}, {20, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.at) + (c.cancel ? " cancel" : " refusal"));
        Download run;
        if (c.cancel) run.bus.onWrite = [&](std::size_t n) { if (n == c.at) run.process->stop(); };
        else run.bus.refuseAt = c.at;
        run.flash(files);
        ASSERT_EQ(run.exceptions.size(), 1u);
        const auto& e = *run.exceptions[0];
        EXPECT_EQ(run.bus.writes.size(), c.at) << "nothing after the refusal or the cancel";
        EXPECT_EQ(static_cast<std::uint32_t>(e.getErrorCode()), c.cancel ? 0x80044005u : 0x80040F18u);
        EXPECT_EQ(e.getReason(), c.cancel ? 0 : 23);
        EXPECT_EQ(run.ends, (c.cancel ? std::vector<std::int32_t>{1, 3, 4} : std::vector<std::int32_t>{1, 5}));
        if (c.cancel) continue;
        EXPECT_NE(e.getErrorText().find("(bus error 0x80040608: drive said no)"), std::string::npos) << e.getErrorText();
        EXPECT_EQ(run.process->getLastErrorCode(), static_cast<std::int32_t>(0x80040608u));
    }
}

TEST(FlashProtocolFailures, StuckEraseEndsAtItsTimeOut)
{
    Files files(100, 1);
    Download run;
    run.bus.masks = {0x3FF, 0x201};
    auto settings = std::make_shared<FlashProtocolSettings>("ModbusTCP");
    settings->setEraseTimeout(std::chrono::milliseconds(150));
    run.protocol->setSettings(settings);
    const auto begun = std::chrono::steady_clock::now();
    run.flash(files);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
    ASSERT_EQ(run.exceptions.size(), 1u);
    const std::string text = run.exceptions[0]->getErrorText();
    EXPECT_NE(text.find("erase not finished after 150 ms, mask 0x0201"), std::string::npos) << text;
    EXPECT_EQ((std::vector<std::int32_t>{run.last.getFlashState(), run.last.minor().current}),
              (std::vector<std::int32_t>{FlashProcessState::ErasingSections, 8}));
}

TEST(FlashProtocolBase, ReadsTheEraseMaskAsTwoBytesLowFirst)
{
    Files files(100, 1);
    Download run(false);
    run.bus.masks = {0x0300, 0}; // little-endian on the wire: 00 03
    run.flash(files);
    EXPECT_EQ(run.ends.back(), FlashProcessState::FinishedSuccessfull);
}

TEST(FlashProcessStates, BusyRefusedFreshAfterwardsAndCancelWhileIdle)
{
    Files files(100, 1);
    Download run;
    run.process->stop(); // idle cancel: 0 -> 3, must not block later downloads
    EXPECT_EQ(run.process->getEndState(), FlashProcessState::UserCancelInProgress);
    run.flash(files);
    EXPECT_EQ(run.process->getEndState(), FlashProcessState::FinishedSuccessfull);
    run.process->stop(); // after success the end state stays
    EXPECT_EQ(run.process->getEndState(), FlashProcessState::FinishedSuccessfull);
    run.majors.clear();
    run.flash(files);
    EXPECT_EQ(run.majors.front(), 1);
    // Threaded: a second flash while the first runs is refused with reason 17.
    run.process->setThreaded(true);
    run.bus.masks = {0x3FF, 0x3FF, 0x3FF, 0x3FF, 0x3FF, 0x3FF, 0};
    run.flash(files);
    try {
        run.process->flash(files.data, files.api, run.protocol);
        ADD_FAILURE() << "second flash accepted";
    } catch (const FlashException& e) {
        EXPECT_EQ(e.getReason(), 17);
    }
    run.process->join();
    EXPECT_EQ(run.process->getEndState(), FlashProcessState::FinishedSuccessfull);
}
