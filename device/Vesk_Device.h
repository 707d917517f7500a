/* The device library's four entry points, as the server calls them. The
 * server reads no result from any of them; each only has to return. */
#ifndef VESK_DEVICE_H
#define VESK_DEVICE_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

/* Switches on the library's data output over ZMQ. */
void EnableZMQData(void);
/* Opens the device. */
void OpenVeskDevice(void);
/* Sets the library's boolean setting `key` (NUL-terminated) to `value`. */
#define VESK_LOG_LOST_KEY "bLogPackLost" /* true: the library logs the packets it lost */
void SetConfig_Bool(const char *key, bool value);
/* Closes the device. */
void CloseVeskDevice(void);

#ifdef __cplusplus
}
#endif

#endif
