// Range texts as a user types them: comma-separated ids and intervals a-b.
// Every accepted id lies within the bounds, and a text the protocol takes as
// its scan range reads back to the same set of ids.
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include "protocols/FieldbusProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const auto minimum = in.ConsumeIntegral<std::uint32_t>();
    const auto maximum = in.ConsumeIntegral<std::uint32_t>();
    const std::string text = in.ConsumeRemainingBytesAsString();
    for (std::uint32_t id : Kavrel::FieldbusProtocol::splitRange(text, minimum, maximum))
        if (id < minimum || id > maximum)
            __builtin_trap();

    static const auto protocol = Kavrel::FieldbusProtocol::create("ModbusTCP");
    if (protocol->setScanRange(text) == 1) {
        const auto ids = protocol->getScanRangeIds();
        for (std::uint32_t id : ids)
            if (id < protocol->getScanMinimum() || id > protocol->getScanMaximum())
                __builtin_trap();
        if (protocol->setScanRange(protocol->getScanRange()) != 1 || protocol->getScanRangeIds() != ids)
            __builtin_trap();
    }
    protocol->setFlashRange(text);
    return 0;
}
