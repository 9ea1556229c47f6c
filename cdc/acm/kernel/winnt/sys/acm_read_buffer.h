/*
 * The receive ring: equal transfer buffers, each described by a read_desc_t,
 * filled in ring order by one data-in transfer at a time and emptied in the
 * same order by reads. Everything here is guarded by spin_lock.
 */
#pragma once
#include "acm_serial.h"

#define ACM_READ_BUFFER_POOL_TAG 0x61636D5F   /* '_mca' */

struct _read_desc_t {
    PUCHAR buffer;              /* this descriptor's slice of the data area */
    ULONG length;               /* packets_per_xfer x read_max_ps */
    BOOLEAN empty;              /* no unread data: may be posted */
    ULONG bytes_transferred;    /* delivered by the last transfer */
    ULONG first_char;           /* first byte not yet copied out */
    BOOLEAN posted;             /* a data-in transfer into it is outstanding */
};
