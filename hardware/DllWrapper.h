#pragma once
#include <stdexcept>
#include <string>

namespace Kavrel {

// Thrown when a library lacks an entry point the adapter needs, so the
// adapter cannot be constructed.
class DllEntryPointMissing : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A vendor library loaded at run time. Names are given as the vendor's
// ("modbusdll.dll", "_GetTimeout@12") and mapped to this platform's
// ("libmodbusdll.so", "_GetTimeout"). Shared by an adapter and its copies;
// the library is unloaded with the last reference.
class DllWrapper {
public:
    // Tries directory + name first (when directory is not empty), then the
    // system's library search path.
    DllWrapper(const std::string& libraryName, const std::string& directory);
    ~DllWrapper();
    DllWrapper(const DllWrapper&) = delete;
    DllWrapper& operator=(const DllWrapper&) = delete;

    bool isLoaded() const { return handle != nullptr; }
    // Full path of the loaded file, or the last name tried.
    const std::string& getPath() const { return path; }

    // The export of that name; throws DllEntryPointMissing when there is none.
    void* getFunction(const std::string& name);
    template <class Function>
    Function getFunction(const std::string& name)
    {
        return reinterpret_cast<Function>(getFunction(name));
    }

    // "X.dll" -> "libX.so"; other names unchanged.
    static std::string platformLibraryName(const std::string& libraryName);
    // "_Name@12" -> "_Name": stdcall decoration is not used here.
    static std::string platformExportName(const std::string& name);

private:
    void* handle = nullptr;
    std::string libraryName;
    std::string path;
};

} // namespace Kavrel
