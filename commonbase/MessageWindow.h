#pragma once
#include <cstdint>

namespace commonbase {

// What a hidden message window was: the target of messages that workers post
// and that the host's event loop delivers on the host's thread.
class MessageWindow {
public:
    virtual ~MessageWindow();
    virtual void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) = 0;
};

} // namespace commonbase
