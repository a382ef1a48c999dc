#include "commonbase/ModuleFolder.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace commonbase {

namespace {
// Any symbol of this library serves dladdr to find the library file.
void moduleAnchor() {}
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

} // namespace commonbase
