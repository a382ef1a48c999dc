#include "support/SrecFiles.h"

#include <cctype>
#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include "support/TestSupport.h"

namespace kavreltest {

std::string writeSrec(const std::filesystem::path& file, const std::vector<SrecSegment>& segments,
                      const SrecStyle& style)
{
    TempDir parts;
    std::vector<std::string> argv{"srec_cat"};
    int unit = style.byteAddressed ? 1 : 2;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (segments[i].bytes.empty())
            continue;
        auto bin = parts.write("part" + std::to_string(i) + ".bin",
                               std::string(segments[i].bytes.begin(), segments[i].bytes.end()));
        // srec_cat places bytes; the output's address unit divides by two again.
        argv.insert(argv.end(), {bin.string(), "-binary", "-offset",
                                 std::to_string(static_cast<std::uint64_t>(segments[i].address) * unit)});
    }
    if (argv.size() == 1) // no data at all: a file of records without data
        argv.insert(argv.end(), {parts.write("empty.bin", "").string(), "-binary"});
    auto raw = parts.path() / "out.srec";
    argv.insert(argv.end(), {"-o", raw.string(), "-motorola"});
    if (unit == 2)
        argv.push_back("2");
    argv.push_back("-address-length=" + std::to_string(style.addressBytes));
    argv.insert(argv.end(), {"-output-block-size", std::to_string(style.recordBytes)});
    if (style.s0.empty())
        argv.push_back("-disable=header");
    else
        argv.insert(argv.end(), {"-header", style.s0});
    argv.push_back(style.dataCount ? "-enable=data-count" : "-disable=data-count");
    if (style.start)
        argv.insert(argv.end(), {"-execution-start-address", std::to_string(*style.start * unit)});
    else
        argv.push_back("-disable=exec-start-address");
    std::string output;
    if (int rc = runProgram(argv, output); rc != 0)
        return "srec_cat failed (" + std::to_string(rc) + "): " + output;

    // Header lines, case and line ends are ours to add.
    std::ifstream in(raw);
    std::string text, line;
    const char* end = style.crlf ? "\r\n" : "\n";
    for (const auto& h : style.headerLines)
        text += h + end;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (style.lowerCase)
            for (std::size_t i = 2; i < line.size(); ++i)
                line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
        text += line + end;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return out.flush() ? std::string() : "cannot write " + file.string();
}

std::string writeApiFile(const std::filesystem::path& file, int protocolVersion,
                         const std::vector<SrecSegment>& segments, SrecStyle style)
{
    style.headerLines.insert(style.headerLines.begin(), "FLASHPROTOCOLVERSION=" + std::to_string(protocolVersion));
    return writeSrec(file, segments, style);
}

std::vector<std::uint8_t> patternBytes(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 7);
    }
    return out;
}

SrecSegment checksumSegment(const std::vector<SrecSegment>& segments)
{
    std::uint32_t sum = 0, count = 0;
    for (const auto& s : segments)
        for (auto b : s.bytes) {
            sum += b;
            ++count;
        }
    sum += (0x3FFECu - count) * 0xFFu;
    return {0x3F7FF4,
            {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 24),
             static_cast<std::uint8_t>(sum >> 16)}};
}

int runProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs)
{
    output.clear();
    int fds[2];
    if (argv.empty() || ::pipe(fds) != 0)
        return -1;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    if (child == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool late = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            late = true;
            break;
        }
        char chunk[4096];
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (late)
        ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    return late || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

std::string srecCompare(const std::filesystem::path& a, const std::filesystem::path& b)
{
    // srec_cmp reads records only: header lines are left out of its copies.
    TempDir copies;
    std::vector<std::string> argv{"srec_cmp"};
    for (const auto& file : {a, b}) {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return "cannot read " + file.string();
        std::string records, line;
        while (std::getline(in, line))
            if (!line.empty() && (line[0] == 'S' || line[0] == 's'))
                records += line + "\n";
        auto copy = copies.write(std::to_string(argv.size()) + ".srec", records);
        argv.insert(argv.end(), {copy.string(), "-motorola", "2"});
    }
    std::string output;
    int rc = runProgram(argv, output);
    return rc == 0 ? std::string() : "srec_cmp " + std::to_string(rc) + " (" + a.string() + ", " + b.string() + "): " + output;
}

} // namespace kavreltest
