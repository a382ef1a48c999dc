#pragma once
#include <cstdint>
#include <set>
#include <string>

namespace Kavrel {

// The header lines in front of a flash data file ("#KEY=value").
class FlashDataHeader {
public:
    static constexpr std::uint32_t unknownVersion = 0xFFFFFFFFu;

    std::uint32_t getVersion() const { return version; }
    std::uint32_t getProgramVersion() const { return programVersion; }
    const std::string& getFile() const { return file; }
    const std::set<std::uint32_t>& getComponents() const { return components; }
    const std::string& getDate() const { return date; }
    const std::string& getDescription() const { return description; }
    const std::string& getApiName() const { return apiName; }

    // "unknown", or six lower-case hex digits at least.
    static std::string versionText(std::uint32_t value);
    std::string versionText() const { return versionText(version); }
    std::string programVersionText() const { return versionText(programVersion); }
    // "Date = ...", "Vers = ...", "Prog = ..." on three lines.
    std::string debugText() const;

    // One header line (CR already gone); unknown keys and malformed lines are ignored.
    void handleLine(const std::string& line);

private:
    std::uint32_t version = unknownVersion;
    std::uint32_t programVersion = unknownVersion;
    std::string file;
    std::set<std::uint32_t> components;
    std::string date;
    std::string description;
    std::string apiName;
};

} // namespace Kavrel
