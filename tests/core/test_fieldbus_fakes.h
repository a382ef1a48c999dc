// A scriptable bus for the core tests: a protocol whose drives live in a map,
// a hardware interface that counts opens and closes, an interface made of the
// two, and a window that records the messages posted to it.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "commonbase/HostEventLoop.h"
#include "commonbase/MessageWindow.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocol.h"
#include "support/TestSupport.h"

namespace kavreltest {

class FakeHardware : public Kavrel::HardwareInterface {
public:
    explicit FakeHardware(std::uint32_t id, std::string portName = "fake0")
    {
        number = id;
        name = portName;
        nameToOpen = portName;
    }
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return ++opens, 1; }
    std::int32_t closeInterface() override { return ++closes, 0; }
    std::int32_t sendMessage(const Kavrel::GenericParameters&, Kavrel::GenericParameters&) override { return 0; }
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
};

class FakeProtocol : public Kavrel::FieldbusProtocol {
public:
    static constexpr std::uint32_t errorSilent = 0x8004060Au;

    explicit FakeProtocol(Constants constants = constantsFor("ModbusTCP"))
        : FieldbusProtocol("ModbusTCP", std::move(constants))
    {
    }

    // Drive state ------------------------------------------------------------
    void addDrive(std::uint32_t id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        drives.insert(id);
    }
    void silence(std::uint32_t id, bool silent = true)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (silent)
            silent_.insert(id);
        else
            silent_.erase(id);
    }
    void setValue(std::uint32_t id, std::uint16_t index, std::uint16_t sub, std::uint32_t value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        values[{id, index, sub}] = value;
    }
    std::uint32_t value(std::uint32_t id, std::uint16_t index, std::uint16_t sub)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values[{id, index, sub}];
    }
    int readsOf(std::uint32_t id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reads[id];
    }
    struct Write {
        std::uint32_t id, size;
        std::uint16_t index, sub;
        std::uint32_t value;
    };
    std::vector<Write> writes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return writeLog;
    }
    // Every read asked for, as (id, size, index, sub).
    std::vector<Write> readsAsked()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return readLog;
    }

    std::int32_t readIdentification(std::uint32_t id, std::string& vendor, std::string& product, std::string& version,
                                    std::string& motor, std::string& serial) override
    {
        if (identifyDelay.count() > 0)
            std::this_thread::sleep_for(identifyDelay);
        if (!answers(id))
            return 0;
        vendor = vendorName;
        product = productCode;
        version = "1.04";
        motor = "00000007";
        serial = "00012345";
        return 1;
    }
    std::int32_t readParameter(std::uint32_t id, std::uint32_t size, std::uint16_t index, std::uint16_t sub,
                               std::uint32_t& out) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++reads[id];
            readLog.push_back({id, size, index, sub, 0});
        }
        if (!answers(id))
            return 0;
        out = value(id, index, sub);
        return 1;
    }
    std::int32_t writeParameter(std::uint32_t id, std::uint32_t size, std::uint16_t index, std::uint16_t sub,
                                std::uint32_t v) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            writeLog.push_back({id, size, index, sub, v});
        }
        if (!answers(id) || refuseWrites)
            return 0;
        setValue(id, index, sub, v);
        return 1;
    }

    // Upload: packets 1..uploadPackets, the last marked; uploadPackets 0 = never ends.
    std::int32_t initUpload(std::uint32_t id) override
    {
        ++initUploads;
        return answers(id) && initUploadResult == 1 ? 1 : 0;
    }
    std::int32_t getUpload(std::uint32_t id, std::uint32_t session, std::uint32_t packet, std::string& data,
                           std::uint32_t& finished) override
    {
        ++getUploads;
        lastSession = session;
        if (packetDelay.count() > 0)
            std::this_thread::sleep_for(packetDelay);
        if (!answers(id))
            return static_cast<std::int32_t>(errorSilent);
        if (failAtPacket != 0 && packet == failAtPacket)
            return static_cast<std::int32_t>(failCode.load());
        data = "P" + std::to_string(packet); // one packet; the device keeps them all
        finished = uploadPackets != 0 && packet >= uploadPackets ? 1 : 0;
        return 0;
    }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 1; }
    std::uint32_t getMaxBlockSize() override { return 4; }
    std::int32_t openInterface(std::uint32_t) override
    {
        ++opens;
        return openResult;
    }
    std::int32_t closeInterface() override
    {
        ++closes;
        return 0;
    }

    bool answers(std::uint32_t id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (drives.count(id) == 0 || silent_.count(id) != 0) {
            setLastError(errorSilent, "no answer");
            return false;
        }
        setLastError(0, "");
        return true;
    }

    std::string vendorName = "Vorlane";
    std::string productCode = "VDX 2040 A";
    std::atomic<bool> refuseWrites{false};
    std::atomic<std::int32_t> openResult{1};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<std::int32_t> initUploadResult{1};
    std::atomic<int> initUploads{0};
    std::atomic<int> getUploads{0};
    std::atomic<std::uint32_t> lastSession{0};
    std::atomic<std::uint32_t> uploadPackets{1};
    std::atomic<std::uint32_t> failAtPacket{0};
    std::chrono::milliseconds packetDelay{0};
    std::atomic<std::uint32_t> failCode{0x80040603u};
    std::chrono::milliseconds identifyDelay{0};

private:
    std::mutex mutex;
    std::set<std::uint32_t> drives;
    std::set<std::uint32_t> silent_;
    std::map<std::tuple<std::uint32_t, std::uint16_t, std::uint16_t>, std::uint32_t> values;
    std::map<std::uint32_t, int> reads;
    std::vector<Write> writeLog;
    std::vector<Write> readLog;
};

// An interface on the fake bus; settings keys as the ModbusTCP branch.
class FakeInterface : public Kavrel::FieldbusInterface {
public:
    explicit FakeInterface(bool withHardware = true, bool networkScan = false,
                           Kavrel::FieldbusProtocol::Constants constants =
                               Kavrel::FieldbusProtocol::constantsFor("ModbusTCP"),
                           std::vector<std::uint32_t> hardwareIds = {7})
        : FieldbusInterface("ModbusTCP", networkScan)
    {
        fake = std::make_shared<FakeProtocol>(std::move(constants));
        protocol = fake;
        if (withHardware)
            for (auto id : hardwareIds) {
                auto hw = std::make_shared<FakeHardware>(id, "fake" + std::to_string(id));
                hardware.push_back(hw);
                addHardwareInterfaces({hw});
            }
        makeParameterDialog();
        readSettings();
    }
    ~FakeInterface() override { stopWorkers(); }
    std::shared_ptr<FakeProtocol> fake;
    std::vector<std::shared_ptr<FakeHardware>> hardware;
    int handOvers = 0;

protected:
    void handOverParameters() override { ++handOvers; }
};

// Records what is posted to it, delivered by the host event loop.
class RecordingWindow : public commonbase::MessageWindow {
public:
    struct Message {
        std::uint32_t message;
        std::int32_t first, second;
    };
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override
    {
        messages.push_back({message, first, second});
    }
    std::size_t count(std::uint32_t message) const
    {
        std::size_t n = 0;
        for (const auto& m : messages)
            n += m.message == message ? 1 : 0;
        return n;
    }
    std::vector<Message> messages;
};

// Points the last-settings document at a file in a fresh folder.
class SettingsFile {
public:
    SettingsFile()
    {
        auto& manager = Kavrel::CommunicationManager::getInstance();
        manager.setLastSettingsPath(dir.str());
        manager.setLastSettingsFileName(path());
    }
    ~SettingsFile()
    {
        // Away from the folder before it goes.
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(spare.str() + "xml/LastSettings.xml");
    }
    std::string path() const { return dir.str() + "xml/LastSettings.xml"; }
    std::string schema() const { return dir.str() + "xml/LastSettings.xsd"; }
    std::string text() const { return readFile(path()); }
    // Replaces the file and has the manager read it again.
    void put(const std::string& content) const
    {
        write(content);
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(path());
    }
    void write(const std::string& content) const { dir.write("xml/LastSettings.xml", content); }
    const TempDir& folder() const { return dir; }

private:
    TempDir spare;
    TempDir dir;
};

// A settings document with one branch of keys.
inline std::string settingsXml(const std::string& branch, const std::string& keys)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComParameter>\n  <" + branch + ">" + keys + "</" + branch +
           ">\n</ComParameter>\n";
}

} // namespace kavreltest
