// The download's telegrams and states, against an in-memory bus protocol.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>

#include "flash_test_files.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "flashtools/FlashProtocol.h"
#include "protocols/FieldbusProtocol.h"

using namespace Kavrel;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Keeps every write and answers erase-status reads from a script.
class FakeBus : public FieldbusProtocol {
public:
    struct Write {
        std::uint16_t index, subindex;
        Bytes bytes;
    };
    FakeBus() : FieldbusProtocol("Fake", {}) {}
    std::int32_t readParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t&) override { return 0; }
    std::int32_t writeParameter(std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t) override { return 0; }
    std::int32_t initUpload(std::uint32_t) override { return 0; }
    std::int32_t getUpload(std::uint32_t, std::uint32_t, std::uint32_t, std::string&, std::uint32_t&) override { return 0; }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 0; }
    std::uint32_t getMaxBlockSize() override { return blockSize; }

    std::int32_t sendData(std::uint32_t, std::uint16_t index, std::uint16_t subindex, const Bytes& buffer,
                          std::uint32_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        writes.push_back({index, subindex, Bytes(buffer.begin(), buffer.begin() + size)});
        if (onWrite) onWrite(writes.size());
        if (refuseAt == writes.size()) {
            setLastError(0x80040608, "drive said no");
            return 0;
        }
        setLastError(0);
        return 1;
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

    std::mutex mutex;
    std::vector<Write> writes;
    std::vector<std::uint32_t> masks{0x3FF, 0x0F0, 0};
    std::size_t refuseAt = 0; // 1-based write number that is refused
    std::size_t reads = 0;
    std::uint32_t blockSize = 246;
    std::function<void(std::size_t)> onWrite;
};

class Recorder : public commonbase::EventDispatcherListener<FlashProcessEvent>,
                 public commonbase::EventDispatcherListener<FlashExceptionEvent> {
public:
    void handleEvent(const FlashProcessEvent& e) override
    {
        if (e.reason == FlashProcessEvent::MajorStep) majors.push_back(e.state.getFlashState());
        if (e.reason == FlashProcessEvent::EndChange) ends.push_back(e.state.getEndState());
        last = e.state;
    }
    void handleEvent(const FlashExceptionEvent& e) override { exceptions.push_back(e.exception); }
    std::vector<std::int32_t> majors, ends;
    std::vector<std::shared_ptr<const FlashException>> exceptions;
    FlashProcessState last;
};

struct Files {
    kavreltest::TempDir dir;
    std::shared_ptr<FlashData> data;
    std::shared_ptr<FlashApiData> api;
    Files(std::size_t dataBytes, int apiVersion)
    {
        flashtest::writeBinary(dir, "d.bin", flashtest::randomBytes(dataBytes, 7));
        flashtest::writeBinary(dir, "a.bin", flashtest::randomBytes(300, 8));
        data = createFlashData(flashtest::makeSrec(dir, "d.s", dir.str() + "d.bin -binary -offset 0x200", "-address-length=3"));
        api = createFlashApiData(flashtest::makeSrec(dir, "a.s", dir.str() + "a.bin -binary", "-address-length=2",
                                                     "#FLASHPROTOCOLVERSION=" + std::to_string(apiVersion) + "\n"));
    }
};

struct Download {
    FakeBus bus;
    std::shared_ptr<FlashProtocol> protocol;
    std::shared_ptr<FlashProcess> process = std::make_shared<FlashProcess>(false);
    Recorder recorder;
    explicit Download(bool modbus = true)
    {
        protocol = modbus ? std::shared_ptr<FlashProtocol>(std::make_shared<FlashProtocolModbusTCP>(&bus, nullptr, 5))
                          : std::make_shared<FlashProtocol>(&bus, nullptr, 5);
        process->FlashProcessEventDispatcher::addListener(&recorder);
        process->FlashExceptionEventDispatcher::addListener(&recorder);
    }
    ~Download() { process->removeListenerAndWait(&recorder, &recorder); }
    void flash(Files& f)
    {
        protocol->setFlashProcess(process);
        process->flash(f.data, f.api, protocol);
    }
};

const Bytes command(std::uint8_t code) { return {0, 0, 0, code}; }
Bytes be(std::uint32_t v) { return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

} // namespace

TEST(FlashProtocolTelegrams, Version1SequenceBlocksAndStates)
{
    Files files(5000, 1);
    Download run;
    run.flash(files);
    const auto& w = run.bus.writes;
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(w[0].index, 1); EXPECT_EQ(w[0].subindex, 11); EXPECT_EQ(w[0].bytes, (Bytes{'T', 'E', 'S', 'T'}));
    EXPECT_EQ(w[1].index, 1); EXPECT_EQ(w[1].subindex, 26); EXPECT_EQ(w[1].bytes, (Bytes{0, 0, 0xA5, 0x50}));
    // API: 300 bytes in blocks of 246 and 54, each as address/length, then data.
    std::size_t i = 2;
    std::uint32_t address = 0;
    for (std::uint32_t n : {246u, 54u}) {
        EXPECT_EQ(w[i].bytes, command(1));
        Bytes record = be(n / 2);
        for (auto b : be(address)) record.push_back(b);
        EXPECT_EQ(w[i + 1].bytes, record);
        EXPECT_EQ(w[i + 2].bytes, command(2));
        EXPECT_EQ(w[i + 3].bytes.size(), n);
        i += 4;
        address += n / 2;
    }
    EXPECT_EQ(w[i].bytes, command(3));
    EXPECT_EQ(w[i + 1].bytes, command(4));
    EXPECT_EQ(w[i + 2].bytes, (Bytes{0, 0, 3, 0xFF}));
    i += 3;
    // Three polls: 0x3FF, 0x0F0, 0 - each a status command and a read.
    for (int k = 0; k < 3; ++k, ++i) EXPECT_EQ(w[i].bytes, command(5));
    EXPECT_EQ(run.bus.reads, 3u);
    // 5000 bytes at word 0x100 in version 1: 17 blocks for the first chunk, 4 for the rest,
    // then the checksum segment (one block).
    std::vector<std::uint32_t> lengths, addresses;
    for (; i + 3 < w.size() && w[i].bytes == command(6); i += 4) {
        lengths.push_back((w[i + 1].bytes[0] << 24 | w[i + 1].bytes[1] << 16 | w[i + 1].bytes[2] << 8 | w[i + 1].bytes[3]));
        addresses.push_back((w[i + 1].bytes[4] << 24 | w[i + 1].bytes[5] << 16 | w[i + 1].bytes[6] << 8 | w[i + 1].bytes[7]));
        EXPECT_EQ(w[i + 2].bytes, command(7));
    }
    ASSERT_EQ(lengths.size(), 22u);
    EXPECT_EQ(lengths[16], 80u);  // 160 bytes
    EXPECT_EQ(lengths[20], 83u);  // 166 bytes
    EXPECT_EQ(addresses[1], 0x100u + 123u);
    EXPECT_EQ(addresses[17], 0x100u + 2048u);
    EXPECT_EQ(addresses[21], ChecksumAdder::checksumAddress);
    EXPECT_EQ(w[i].bytes, command(8));
    EXPECT_EQ(i + 1, w.size());

    EXPECT_EQ(run.recorder.majors, (std::vector<std::int32_t>{1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(run.recorder.ends, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(run.recorder.last.minor().current, 5004);
    EXPECT_TRUE(run.recorder.exceptions.empty());
}

TEST(FlashProtocolTelegrams, Version2SendsOneRecordPerChunk)
{
    Files files(5000, 2);
    Download run;
    run.flash(files);
    std::vector<Bytes> records;
    const auto& w = run.bus.writes;
    for (std::size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i].bytes == command(6)) records.push_back(w[i + 1].bytes);
    ASSERT_EQ(records.size(), 3u); // 4096 + 904 bytes, the checksum
    EXPECT_EQ(records[0], (Bytes{0, 0, 0x08, 0x00, 0, 0, 0x01, 0x00}));
    EXPECT_EQ(records[1], (Bytes{0, 0, 0x01, 0xC4, 0, 0, 0x09, 0x00}));
    // The API still goes block by block.
    std::size_t apiRecords = 0;
    for (const auto& x : w) apiRecords += x.bytes == command(1);
    EXPECT_EQ(apiRecords, 2u);
}

TEST(FlashProtocolFailures, RefusedWriteAtEveryStepGivesReason23AndTheBusText)
{
    Files files(600, 1);
    Download probe;
    probe.flash(files);
    const std::size_t total = probe.bus.writes.size();
    // Test word, request, first API record, jump, erase, a status poll, first data, finish.
    for (std::size_t at : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(11), std::size_t(12),
                           std::size_t(14), std::size_t(17), total}) {
        Download run;
        run.bus.refuseAt = at;
        run.flash(files);
        ASSERT_EQ(run.recorder.exceptions.size(), 1u) << at;
        const auto& e = *run.recorder.exceptions[0];
        EXPECT_EQ(static_cast<std::uint32_t>(e.getErrorCode()), 0x80040F18u) << at;
        EXPECT_EQ(e.getReason(), 23);
        EXPECT_NE(e.getErrorText().find("drive said no"), std::string::npos) << e.getErrorText();
        EXPECT_NE(e.getErrorText().find("0x80040608"), std::string::npos) << e.getErrorText();
        EXPECT_EQ(run.bus.writes.size(), at) << "nothing after the refusal";
        EXPECT_EQ(run.recorder.ends, (std::vector<std::int32_t>{1, 5})) << at;
        EXPECT_EQ(run.process->getLastErrorCode(), static_cast<std::int32_t>(0x80040608u));
    }
}

TEST(FlashProtocolFailures, CancelInEachPhaseStopsWithGeneralFailure)
{
    Files files(3000, 1);
    for (std::size_t at : {std::size_t(1), std::size_t(4), std::size_t(13), std::size_t(20)}) {
        Download run;
        run.bus.onWrite = [&](std::size_t n) { if (n == at) run.process->stop(); };
        run.flash(files);
        ASSERT_EQ(run.recorder.exceptions.size(), 1u) << at;
        EXPECT_EQ(static_cast<std::uint32_t>(run.recorder.exceptions[0]->getErrorCode()), 0x80044005u);
        EXPECT_EQ(run.recorder.exceptions[0]->getReason(), 0);
        EXPECT_EQ(run.bus.writes.size(), at) << "the cancel is seen at the next check";
        EXPECT_EQ(run.recorder.ends, (std::vector<std::int32_t>{1, 3, 4}));
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
    const auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_LT(took, std::chrono::seconds(5));
    ASSERT_EQ(run.recorder.exceptions.size(), 1u);
    EXPECT_NE(run.recorder.exceptions[0]->getErrorText().find("erase not finished after 150 ms, mask 0x0201"),
              std::string::npos) << run.recorder.exceptions[0]->getErrorText();
    EXPECT_EQ(run.recorder.last.getFlashState(), FlashProcessState::ErasingSections);
    EXPECT_EQ(run.recorder.last.minor().current, 8);
}

TEST(FlashProtocolBase, TwoByteEraseReadAndBigEndianValues)
{
    Files files(100, 1);
    Download run(false);
    run.bus.masks = {0x0300, 0}; // little-endian on the wire: 00 03
    run.flash(files);
    EXPECT_EQ(run.recorder.ends.back(), FlashProcessState::FinishedSuccessfull);
    std::uint8_t out[4];
    run.protocol->encodeValue(0x00000800, out, 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0, 0, 8, 0}));
    Bytes b{1, 2, 3};
    run.protocol->adaptData(b);
    EXPECT_EQ(b, (Bytes{1, 2, 3}));
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
    run.recorder.majors.clear();
    run.flash(files);
    EXPECT_EQ(run.recorder.majors.front(), 1);

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
