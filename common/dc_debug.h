/*
 * Kernel debugger output of the driver, gated by the driver-wide verbosity
 * `debug_level`: a message prints when the level is at least the message's.
 */
#pragma once
#include <ntddk.h>

#define DC_LEVEL_ERROR 1   /* failures */
#define DC_LEVEL_INFO  2   /* start-up, settings, lifecycle */
#define DC_LEVEL_NOTE  3   /* expected misses: absent optional settings */
#define DC_LEVEL_TRACE 4   /* entry and exit traces */

extern ULONG debug_level;

#define DC_PRINT(level, ...)               \
    do {                                   \
        if (debug_level >= (level)) {      \
            DbgPrint(__VA_ARGS__);         \
        }                                  \
    } while (0)
