/* A device library that does nothing, so that the benchmark measures the programs alone. */
#include "Vesk_Device.h"

void EnableZMQData(void) {}
void OpenVeskDevice(void) {}
void SetConfig_Bool(const char *key, bool value) { (void)key; (void)value; }
void CloseVeskDevice(void) {}
