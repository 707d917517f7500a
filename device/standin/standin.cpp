// The stand-in for the maker's device library: each entry point records its call through
// trace() and hands it to the simulated device.
#include <string>

#include "Vesk_Device.h"
#include "simulation.h"
#include "trace.h"

void EnableZMQData(void)
{
    trace("EnableZMQData");
    simulation_enable_output();
}

void OpenVeskDevice(void)
{
    trace("OpenVeskDevice");
    simulation_open();
}

void SetConfig_Bool(const char *key, bool value)
{
    std::string event = std::string("SetConfig_Bool ") + (key != nullptr ? key : "(null)");
    event += value ? " true" : " false";
    trace(event.c_str());
    simulation_set(key, value);
}

// The test build leaves this one out to stand for a library that lacks a name.
#ifndef VESK_STANDIN_LACKS_CLOSE
void CloseVeskDevice(void)
{
    trace("CloseVeskDevice");
    simulation_close();
}
#endif
