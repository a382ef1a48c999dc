#include "dialogs/DialogBackend.h"

#include <mutex>

namespace commonbase {

namespace {
std::mutex& backendMutex()
{
    static std::mutex m;
    return m;
}
std::shared_ptr<DialogBackend>& current()
{
    static std::shared_ptr<DialogBackend> backend;
    return backend;
}
} // namespace

DialogBackend::~DialogBackend() = default;

void DialogBackend::set(std::shared_ptr<DialogBackend> backend)
{
    std::lock_guard<std::mutex> lock(backendMutex());
    current() = std::move(backend);
}

std::shared_ptr<DialogBackend> DialogBackend::get()
{
    std::lock_guard<std::mutex> lock(backendMutex());
    return current();
}

} // namespace commonbase
