/* The stand-in's call trace: with VESK_DEVICE_TRACE naming a file, it appends one line per
 * event, each in one write. An orderly run of the server traces these lines, in this order. */
#ifndef VESK_CALL_TRACE_H
#define VESK_CALL_TRACE_H

#define VESK_TRACE_LOAD "load" /* the library was loaded, before the host's main */
#define VESK_TRACE_ENABLE "EnableZMQData"
#define VESK_TRACE_OPEN "OpenVeskDevice"
#define VESK_TRACE_LOG_LOST "SetConfig_Bool bLogPackLost true" /* "SetConfig_Bool KEY VALUE" */
#define VESK_TRACE_CLOSE "CloseVeskDevice"

#endif
