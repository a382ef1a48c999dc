#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace kavrelcli {

// Shared state of one CLI run, filled by the global options.
struct Context {
    std::string dataPath;
    bool json = false;
    // Set by the chosen subcommand; its result is the exit code.
    std::function<int()> action;
};

// Exit statuses: a command line that cannot be run as given, and a run that failed.
constexpr int exitUsage = 2;
constexpr int exitFailure = 1;

// A usage error: {"error":{"code":"usage","text":"..."}} with --json, "kavrel: TEXT" on stderr
// always. Returns exit status 2.
int reportUsage(const Context& ctx, const std::string& text);
// Prints an already-encoded JSON document, or the plain lines.
void printResult(const Context& ctx, const std::string& json, const std::vector<std::string>& lines);
// A failed device or bus command: {"error":{"code":"0x8004....","text":"..."}} with --json,
// "kavrel: TEXT (CODE)" on stderr always. Returns exit status 1.
int reportFailure(const Context& ctx, std::uint32_t code, const std::string& text);
// "0x" and eight upper-case hex digits.
std::string codeText(std::uint32_t code);

// One function per command group; adding a group means one file and one line in main.cpp.
void registerInfoCommands(CLI::App& app, Context& ctx);
void registerDeviceCommands(CLI::App& app, Context& ctx);
void registerBackgroundCommands(CLI::App& app, Context& ctx);
void registerFlashCommands(CLI::App& app, Context& ctx);

} // namespace kavrelcli
