#include "hardware/DllWrapper.h"

#include <dlfcn.h>
#include <link.h>

#include <cctype>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

using commonbase::cat;

namespace {

bool endsWithNoCase(const std::string& text, const std::string& suffix)
{
    if (text.size() < suffix.size())
        return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[text.size() - suffix.size() + i]);
        const auto b = static_cast<unsigned char>(suffix[i]);
        if (std::tolower(a) != std::tolower(b))
            return false;
    }
    return true;
}

std::string lastLoadError()
{
    const char* e = ::dlerror();
    return e ? e : "unknown error";
}

} // namespace

std::string DllWrapper::platformLibraryName(const std::string& name)
{
    if (!endsWithNoCase(name, ".dll"))
        return name;
    std::string base = name.substr(0, name.size() - 4);
    const auto slash = base.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : base.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? base : base.substr(slash + 1);
    return folder + "lib" + file + ".so";
}

std::string DllWrapper::platformExportName(const std::string& name)
{
    const auto at = name.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == name.size())
        return name;
    for (std::size_t i = at + 1; i < name.size(); ++i)
        if (std::isdigit(static_cast<unsigned char>(name[i])) == 0)
            return name;
    return name.substr(0, at);
}

DllWrapper::DllWrapper(const std::string& name, const std::string& directory) : libraryName(name)
{
    const std::string file = platformLibraryName(name);
    if (!directory.empty()) {
        path = directory;
        if (path.back() != '/')
            path += '/';
        path += file;
        commonbase::Dbg dbg(0, __FILE__, cat("DllWrapper(", path, ")"));
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            commonbase::DbgInfo(1, __FILE__, cat("not loaded from the module folder: ", lastLoadError()));
    }
    if (!handle) {
        path = file;
        handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            commonbase::DbgInfo(1, __FILE__, cat("not loaded from the search path: ", lastLoadError()));
    }
    if (!handle) {
        commonbase::DbgInfo(4, __FILE__, cat("Could not open '", name, "'"));
        return;
    }
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        path = map->l_name;
    commonbase::DbgInfo(1, __FILE__, cat("Opened ", path));
}

DllWrapper::~DllWrapper()
{
    if (handle)
        ::dlclose(handle);
}

void* DllWrapper::getFunction(const std::string& name)
{
    commonbase::Dbg dbg(0, __FILE__, cat("getFunction(", name, ")"));
    if (!handle)
        throw DllEntryPointMissing(cat("'", libraryName, "' is not loaded, so it has no entry point '", name, "'"));
    ::dlerror();
    void* entry = ::dlsym(handle, platformExportName(name).c_str());
    if (!entry) {
        const std::string text = cat("'", path, "' has no entry point '", name, "'");
        commonbase::DbgInfo(4, __FILE__, text);
        throw DllEntryPointMissing(text);
    }
    return entry;
}

} // namespace Kavrel
