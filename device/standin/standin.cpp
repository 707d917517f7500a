// The stand-in for the maker's device library: it drives no device and only records,
// through trace(), which entry point was called with what.
#include <string>

#include "Vesk_Device.h"
#include "trace.h"

void EnableZMQData(void)
{
    trace("EnableZMQData");
}

void OpenVeskDevice(void)
{
    trace("OpenVeskDevice");
}

void SetConfig_Bool(const char *key, bool value)
{
    std::string event = std::string("SetConfig_Bool ") + (key != nullptr ? key : "(null)");
    event += value ? " true" : " false";
    trace(event.c_str());
}

// The test build leaves this one out to stand for a library that lacks a name.
#ifndef VESK_STANDIN_LACKS_CLOSE
void CloseVeskDevice(void)
{
    trace("CloseVeskDevice");
}
#endif
