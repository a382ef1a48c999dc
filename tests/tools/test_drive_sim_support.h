#pragma once
// Starting kavrel-drive-sim from tests, and small raw-frame helpers.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "support/TestSupport.h"

namespace simtest {

using namespace std::chrono_literals;

inline std::string simBinary() { return kavreltest::binDir() + "/kavrel-drive-sim"; }
inline std::string simTable() { return kavreltest::sourceDir() + "/data/sim/drive.xml"; }

// The simulator as a child process, started and waited for until "ready".
struct Sim {
    explicit Sim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {simBinary(), "--table", simTable()});
        process = std::make_unique<kavreltest::ChildProcess>(args);
        for (int i = 0; i < 8; ++i) {
            std::string line = process->readLine(15s);
            lines.push_back(line);
            if (line.rfind("tcp ", 0) == 0)
                port = std::stoi(line.substr(line.rfind(':') + 1));
            if (line == "ready") {
                ready = true;
                break;
            }
            if (line.empty())
                break;
        }
    }
    ~Sim() { process->stop(); }
    std::unique_ptr<kavreltest::ChildProcess> process;
    std::vector<std::string> lines;
    int port = 0;
    bool ready = false;
};

inline std::uint16_t crc16(const std::vector<std::uint8_t>& b)
{
    std::uint16_t crc = 0xFFFF;
    for (auto byte : b) {
        crc ^= byte;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

inline std::vector<std::uint8_t> withCrc(std::vector<std::uint8_t> b)
{
    auto c = crc16(b);
    b.push_back(static_cast<std::uint8_t>(c & 0xFF));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
    return b;
}

inline std::string bytes(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }
inline std::vector<std::uint8_t> bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

// A plain TCP client for frames libmodbus would not send or could not read.
class RawTcp {
public:
    // receiveBuffer: a small window for a client that is to fall behind.
    explicit RawTcp(int port, int receiveBuffer = 0);
    ~RawTcp();
    RawTcp(const RawTcp&) = delete;
    RawTcp& operator=(const RawTcp&) = delete;
    bool ok() const { return fd >= 0; }
    int handle() const { return fd; }
    bool send(const std::vector<std::uint8_t>& b);
    // One MBAP frame (header and body), or what came before the time-out.
    std::vector<std::uint8_t> receiveFrame(std::chrono::milliseconds timeout);
    // True when the peer closed the connection within the time-out.
    bool closedByPeer(std::chrono::milliseconds timeout);

private:
    int fd = -1;
    std::vector<std::uint8_t> pending;
};

// MBAP header with transaction id tid around unit + PDU.
std::vector<std::uint8_t> mbap(std::uint16_t tid, const std::vector<std::uint8_t>& body);

struct CliRun {
    std::vector<std::string> lines;
    int status = -1;
    std::string out() const
    {
        std::string all;
        for (const auto& l : lines)
            all += l + "\n";
        return all;
    }
    bool has(const std::string& part) const { return out().find(part) != std::string::npos; }
};

// Runs kavrel with args, for at most two minutes; onLine sees each line as it comes.
using CliLineHook = std::function<void(kavreltest::ChildProcess&, const std::string& line, std::size_t count)>;
inline CliRun runKavrel(std::vector<std::string> args, const CliLineHook& onLine = {})
{
    args.insert(args.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(args);
    CliRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (run.lines.size() < 10000 && std::chrono::steady_clock::now() < deadline) {
        std::string line = child.readLine(std::chrono::seconds(15));
        if (line.empty() && !child.running())
            break;
        if (line.empty())
            continue;
        run.lines.push_back(line);
        if (onLine)
            onLine(child, line, run.lines.size());
    }
    run.status = child.wait(std::chrono::seconds(20));
    return run;
}

} // namespace simtest
