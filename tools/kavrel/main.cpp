#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "Commands.h"
#include "Json.h"
#include "automation/CCommunicationManager.h"
#include "automation/ErrorInfo.h"
#include "commonbase/StringUtil.h"

namespace kavrelcli {

int reportUsage(const Context& ctx, const std::string& text)
{
    if (ctx.json)
        std::cout << Json::Object().addRaw("error", Json::Object().add("code", "usage").add("text", text).str()).str()
                  << std::endl;
    std::cerr << "kavrel: " << text << "\n";
    return exitUsage;
}

void printResult(const Context& ctx, const std::string& json, const std::vector<std::string>& lines)
{
    if (ctx.json) {
        std::cout << json << "\n";
        return;
    }
    for (const auto& line : lines) std::cout << line << "\n";
}

std::string codeText(std::uint32_t code)
{
    return "0x" + commonbase::toHex(code, 8);
}

int reportFailure(const Context& ctx, std::uint32_t code, const std::string& text)
{
    const std::string shown = text.empty() ? "failed" : text;
    if (ctx.json)
        std::cout << Json::Object()
                         .addRaw("error", Json::Object().add("code", codeText(code)).add("text", shown).str())
                         .str()
                  << std::endl;
    std::cerr << "kavrel: " << shown << " (" << codeText(code) << ")\n";
    return exitFailure;
}

} // namespace kavrelcli

namespace {

std::string defaultDataPath()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/kavrel";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share/kavrel";
    return "kavrel-data";
}

} // namespace

int main(int argc, char** argv)
{
    using namespace kavrelcli;
    Context ctx;
    CLI::App app{"Kavrel: talk to motor drives on fieldbuses"};
    app.require_subcommand(1);
    app.add_option("--data-path", ctx.dataPath, "Folder of the settings and logs");

    registerInfoCommands(app, ctx);
    registerDeviceCommands(app, ctx);
    registerBackgroundCommands(app, ctx);
    registerFlashCommands(app, ctx);

    // A parse error may come before --json was read: the wish counts wherever it stands.
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--json") ctx.json = true;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e); // --help
        return reportUsage(ctx, std::string(e.what()) + (ctx.json ? "" : " (see --help)"));
    }

    const auto failed = [&ctx](const std::string& text) {
        return reportFailure(ctx, static_cast<std::uint32_t>(Kavrel::E_FAIL), text);
    };
    if (ctx.dataPath.empty()) ctx.dataPath = defaultDataPath();
    std::error_code ec;
    std::filesystem::create_directories(ctx.dataPath, ec);
    if (ec) return failed("cannot create the data path '" + ctx.dataPath + "': " + ec.message());

    try {
        if (Kavrel::FAILED(Kavrel::CCommunicationManager::create()->put_dataPath(ctx.dataPath)))
            return failed("the data path '" + ctx.dataPath + "' was refused: " + Kavrel::lastErrorInfo().description);
        return ctx.action ? ctx.action() : 0;
    } catch (const std::exception& e) {
        return failed(e.what());
    }
}
