#include "commonbase/ModuleFolder.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#ifndef KAVREL_DATA_FROM_LIB
#define KAVREL_DATA_FROM_LIB "../share/kavrel"
#endif

namespace commonbase {

namespace {
// Any symbol of this library serves dladdr to find the library file.
void moduleAnchor() {}

bool holdsData(const std::filesystem::path& folder)
{
    std::error_code ec;
    return std::filesystem::is_directory(folder / "xml", ec);
}
} // namespace

std::string moduleFilePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&moduleAnchor), &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : canonical.string();
}

std::string moduleFolder()
{
    static const std::string folder = [] {
        std::string path = moduleFilePath();
        auto cut = path.find_last_of('/');
        return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    }();
    return folder;
}

std::string dataFolderFor(const std::string& module)
{
    if (module.empty() || holdsData(module)) return module;
    // KAVREL_DATA_FROM_LIB is the install's data folder relative to its
    // library folder, so a moved prefix still finds its own data.
    const auto installed = (std::filesystem::path(module) / KAVREL_DATA_FROM_LIB).lexically_normal();
    if (holdsData(installed)) {
        std::string text = installed.string();
        if (text.back() != '/') text += '/';
        return text;
    }
    return module;
}

std::string dataFolder()
{
    static const std::string folder = dataFolderFor(moduleFolder());
    return folder;
}

} // namespace commonbase
