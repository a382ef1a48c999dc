#include "FuzzSupport.h"
#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace kavrelfuzz {

std::int32_t ScriptedInterface::sendMessage(const Kavrel::GenericParameters&, Kavrel::GenericParameters& response)
{
    if (replies.empty() || replies.front().empty()) {
        if (!replies.empty())
            replies.pop_front();
        setError(0x80041205u, "no answer");
        return 0;
    }
    response.setBytes(replies.front());
    replies.pop_front();
    clearError();
    return 1;
}

namespace {

// One folder per process, removed when the process ends.
struct ScratchFolder {
    std::string path;
    ScratchFolder()
    {
        std::error_code ec;
        std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
        path = base + "/kavrel-fuzz-" + std::to_string(::getpid());
        std::filesystem::create_directories(path, ec);
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

} // namespace

std::string scratchFile(const std::string& name, const std::uint8_t* data, std::size_t size)
{
    static const ScratchFolder folder;
    const std::string path = folder.path + "/" + name;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return path;
}

} // namespace kavrelfuzz
