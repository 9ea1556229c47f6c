/* I/O targets: the device's default target is the next-lower device. */
#pragma once

#include "wdftypes.h"

WDFAPI PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(_In_ WDFIOTARGET IoTarget);
WDFAPI WDFDEVICE WdfIoTargetGetDevice(_In_ WDFIOTARGET IoTarget);
