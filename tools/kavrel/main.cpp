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

int reportError(const Context& ctx, int code, const std::string& text)
{
    if (ctx.json)
        std::cout << Json::Object().addBool("ok", false).addNumber("code", code).add("error", text).str() << "\n";
    else
        std::cerr << "kavrel: " << text << "\n";
    return code == 0 ? 1 : code;
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
    return 1;
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (ctx.json && e.get_exit_code() != 0) return reportError(ctx, 2, e.what());
        return app.exit(e);
    }

    if (ctx.dataPath.empty()) ctx.dataPath = defaultDataPath();
    std::error_code ec;
    std::filesystem::create_directories(ctx.dataPath, ec);
    if (ec) return reportError(ctx, 2, "cannot create the data path '" + ctx.dataPath + "': " + ec.message());

    try {
        if (Kavrel::FAILED(Kavrel::CCommunicationManager::create()->put_dataPath(ctx.dataPath)))
            return reportError(ctx, 2, "the data path '" + ctx.dataPath + "' was refused: " +
                                           Kavrel::lastErrorInfo().description);
        return ctx.action ? ctx.action() : 0;
    } catch (const std::exception& e) {
        return reportError(ctx, 1, e.what());
    }
}
