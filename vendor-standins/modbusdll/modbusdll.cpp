// The C entry points of the stand-in library.
#include "modbusdll.h"

#include <modbus-version.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ModbusDllMaster.h"

using modbusdll::ModbusDllMaster;

extern "C" {

MBDLL_API int mbOpen(const char* port, int baudrate, int format)
{
    return ModbusDllMaster::instance().open(port ? port : "", baudrate, format);
}

MBDLL_API int mbClose(void)
{
    return ModbusDllMaster::instance().close();
}

MBDLL_API int mbDirect(const char* request, char* answer, int answerSize)
{
    if (!request || !answer || answerSize < 1)
        return MBDLL_BAD_ARGUMENT;
    answer[0] = '\0';
    std::string text;
    const int result = ModbusDllMaster::instance().direct(request, text);
    if (result != MBDLL_OK)
        return result;
    if (text.size() + 1 > static_cast<std::size_t>(answerSize))
        return MBDLL_BAD_ARGUMENT;
    std::memcpy(answer, text.c_str(), text.size() + 1);
    return MBDLL_OK;
}

MBDLL_API int mbReadObj(int unit, int address, int count, unsigned short* values)
{
    return ModbusDllMaster::instance().readRegisters(unit, address, count, values);
}

MBDLL_API int mbWriteObj(int unit, int address, int count, const unsigned short* values)
{
    return ModbusDllMaster::instance().writeRegisters(unit, address, count, values);
}

MBDLL_API int SetTimeout(int turnaround, int reply, int character)
{
    ModbusDllMaster::instance().setTimeouts(turnaround, reply, character);
    return MBDLL_OK;
}

MBDLL_API int _GetTimeout(int* turnaround, int* reply, int* character)
{
    if (!turnaround || !reply || !character)
        return MBDLL_BAD_ARGUMENT;
    ModbusDllMaster::instance().getTimeouts(*turnaround, *reply, *character);
    return MBDLL_OK;
}

MBDLL_API int mbGetVersionLib(char* text, int size)
{
    if (!text || size < 1)
        return MBDLL_BAD_ARGUMENT;
    std::snprintf(text, static_cast<std::size_t>(size), "modbusdll 1.0 (libmodbus %s)", LIBMODBUS_VERSION_STRING);
    return MBDLL_OK;
}

} // extern "C"
