#pragma once
// S-record test files made by srecord's srec_cat (an independent writer),
// word-addressed as the drives expect them.
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "commonbase/StringUtil.h"
#include "support/TestSupport.h"

namespace flashtest {

// Runs a shell command; returns its standard output, and the exit status in status.
inline std::string run(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    const int rc = ::pclose(p);
    if (status) *status = rc;
    return out;
}

inline std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(gen());
    return v;
}

inline std::string writeBinary(const kavreltest::TempDir& dir, const std::string& name,
                               const std::vector<std::uint8_t>& bytes)
{
    return dir.write(name, std::string(bytes.begin(), bytes.end())).string();
}

// srec_cat with the given inputs and options, output word-addressed; the
// file gets the header lines in front. Returns the file's path.
inline std::string makeSrec(const kavreltest::TempDir& dir, const std::string& name, const std::string& inputs,
                            const std::string& options, const std::string& headerLines = {})
{
    const std::string body = dir.str() + name + ".body";
    int status = 0;
    run("srec_cat " + inputs + " -o " + body + " -motorola 2 " + options + " 2>&1", &status);
    if (status != 0) return {};
    return dir.write(name, headerLines + kavreltest::readFile(body)).string();
}

} // namespace flashtest
