// Replies of a drive, as the bus hands them to a protocol: one operation of
// the protocol named by KAVREL_FUZZ_PROTOCOL is run against replies cut from
// the input. Whatever the replies, the operation ends with a result and never
// reads past what it was given.
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include "FuzzSupport.h"
#include "protocols/FieldbusProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const int operation = in.ConsumeIntegralInRange<int>(0, 6);
    const std::uint32_t address = in.ConsumeIntegral<std::uint8_t>();
    const std::uint32_t sizes[] = {1, 2, 4, 0, 3};
    const std::uint32_t parameterSize = sizes[in.ConsumeIntegralInRange<int>(0, 4)];
    const auto index = in.ConsumeIntegral<std::uint16_t>();
    const auto subindex = in.ConsumeIntegral<std::uint16_t>();
    auto hw = std::make_shared<kavrelfuzz::ScriptedInterface>();
    for (int i = 0; i < 64 && in.remaining_bytes() > 0; ++i)
        hw->replies.push_back(in.ConsumeRandomLengthString(600));
    auto protocol = Kavrel::FieldbusProtocol::create(KAVREL_FUZZ_PROTOCOL, false, hw);
    if (!protocol)
        __builtin_trap();

    std::uint32_t value = 0;
    std::string a, b, c, d, e;
    switch (operation) {
    case 0: protocol->readParameter(address, parameterSize, index, subindex, value); break;
    case 1: protocol->writeParameter(address, parameterSize, index, subindex, 0x12345678u); break;
    case 2: protocol->readIdentification(address, a, b, c, d, e); break;
    case 3: protocol->ping(address, 0); break;
    case 4:
        if (protocol->initUpload(address) == 1) {
            std::uint32_t finished = 0;
            for (std::uint32_t packet = 0; packet < 8 && !finished; ++packet)
                if (protocol->getUpload(address, 1, packet, a, finished) != 0)
                    break;
            protocol->finishUpload(address, 1);
        }
        break;
    case 5: protocol->readData(address, index, subindex, a, parameterSize * 8); break;
    default: protocol->sendData(address, index, subindex, {1, 2, 3, 4, 5, 6, 7, 8}, 8); break;
    }
    // The error text is composed from the code: it must exist for any failure.
    (void)protocol->getLastErrorString();
    return 0;
}
