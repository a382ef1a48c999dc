// "errcodes.ini" as a user may have edited it: any bytes give a map of codes
// to texts and never a crash.
#include "FuzzSupport.h"
#include "protocols/FieldbusProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = kavrelfuzz::scratchFile("errcodes.ini", data, size);
    const auto texts = Kavrel::FieldbusProtocol::readErrorTextFile(path);
    std::size_t total = 0;
    for (const auto& entry : texts)
        total += entry.second.size();
    if (total > size)
        __builtin_trap();
    return 0;
}
