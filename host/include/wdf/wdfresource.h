/* Hardware resource lists handed to EvtDevicePrepareHardware. */
#pragma once

#include "wdftypes.h"

/* A USB function has no hardware resources of its own: the lists are empty. */
WDFAPI ULONG WdfCmResourceListGetCount(_In_ WDFCMRESLIST List);
