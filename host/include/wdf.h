/*
 * Kernel-Mode Driver Framework 1.9, as the driver sees it. Drivers include
 * ntddk.h (or wdm.h) and then this header, as with the WDK.
 *
 * The framework's functions are plain functions with the documented names
 * and parameter lists; the driver-globals argument of the WDK's inline
 * wrappers has no counterpart here.
 */
#pragma once

#include <ntddk.h>

#include "wdf/wdftypes.h"
#include "wdf/wdfcore.h"
#include "wdf/wdfobject.h"
#include "wdf/wdfmemory.h"
#include "wdf/wdfstring.h"
#include "wdf/wdfregistry.h"
#include "wdf/wdfdriver.h"
#include "wdf/wdfresource.h"
#include "wdf/wdfdevice.h"
#include "wdf/wdffdo.h"
#include "wdf/wdfqueryinterface.h"
#include "wdf/wdffileobject.h"
#include "wdf/wdfiotarget.h"
#include "wdf/wdfsync.h"
#include "wdf/wdfio.h"
#include "wdf/wdfrequest.h"
#include "wdf/wdfdpc.h"
#include "wdf/wdftimer.h"
#include "wdf/wdfworkitem.h"
