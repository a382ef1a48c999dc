#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "Drive.h"
#include "FaultPlan.h"
#include "ModbusResponder.h"
#include "PtyLine.h"
#include "VorlaneResponder.h"

namespace drivesim {

// One process, several drives, several ports: a single poll loop serves the
// Modbus TCP listener and its clients, a Modbus RTU line, a Vorlane line and
// the control input, so requests are answered strictly one after another.
// Nothing in the loop waits on one peer: replies wait in a bounded queue per
// port, a TCP client whose queue overflows is dropped, idle clients time out.
class Simulator {
public:
    Simulator(const DriveTable& table, const std::vector<std::uint32_t>& ids, FaultPlan faults, bool verbose);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Each returns false with a reason; the TCP one gives back the bound port.
    bool listenTcp(const std::string& host, int port, int& boundPort, std::string& error);
    bool openModbusSerial(const std::string& path, int baud, std::string& error);
    bool openVorlaneSerial(const std::string& path, int baud, std::string& error);
    bool openControl(const std::string& path, std::string& error);
    bool failOn(std::uint16_t index, std::uint16_t subindex);
    // Firmware download: the drives' switches, and an RTU line on a
    // pseudo-terminal of our own that follows the host's rate (SimulatorFlash.cpp).
    void configureFlash(const FlashOptions& options) { modbus.flash().configure(options); }
    bool openModbusPty(const std::string& link, int baud, int flashBaud, std::string& error);

    // A TCP client that sends nothing for this long is closed (0: never).
    void setIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout = timeout; }

    // Serves until stopFd becomes readable (the signal pipe).
    void run(int stopFd);

    // The bytes a port of that kind would send back for this input, without a
    // socket or a line: what the request parsers make of any bytes.
    enum class Channel { tcp, rtu, vorlane };
    std::vector<std::uint8_t> answerBytes(Channel channel, const std::vector<std::uint8_t>& input);

private:
    enum class Kind { listener, tcpClient, rtu, vorlane, control };
    struct Port {
        Kind kind;
        int fd;
        std::string name;
        std::vector<std::uint8_t> in;
        std::chrono::steady_clock::time_point lastByte;
        std::vector<std::uint8_t> out; // replies not yet taken by the peer
        bool drop = false;             // a TCP client that stopped reading
    };

    bool openSerial(const std::string& path, int baud, Kind kind, std::string& error);
    // False when the port is to be closed.
    bool onReadable(Port& port);
    void onTcpData(Port& port, bool& keep);
    void onRtuData(Port& port, bool flushGap);
    void onVorlaneData(Port& port);
    void onControlData(Port& port);
    void control(const std::string& line);
    // Waits the --delay-ms time; false when a stop was asked for meanwhile.
    bool pause();
    // Queues a reply and sends what the peer takes now.
    void sendAll(Port& port, const std::vector<std::uint8_t>& bytes);
    void flush(Port& port);
    void accept(Port& listener);
    void trace(const Port& port, const char* dir, const std::vector<std::uint8_t>& bytes) const;
    // False when the host sent the frame at another rate than the line's.
    bool rateHeard(const Port& port) const;
    void afterFlashReply(const Port& port, FlashEvent event, std::uint32_t drive);
    void resetFlash(Drive& drive);
    std::vector<std::uint8_t> answerModbus(const std::vector<std::uint8_t>& request, Drive* drive,
                                           FaultPlan::Verdict& verdict, bool& answer);

    std::map<std::uint32_t, std::unique_ptr<Drive>> drives;
    FaultPlan faults;
    bool verbose;
    ModbusResponder modbus;
    VorlaneResponder vorlane;
    std::vector<Port> ports;
    std::vector<std::unique_ptr<PtyLine>> ptys;
    int stopFd = -1;
    bool stopping = false;
    std::chrono::milliseconds idleTimeout{60000};
};

std::uint16_t crc16(const std::uint8_t* data, std::size_t n);

} // namespace drivesim
