/* Framework file objects: one per open handle of the device. */
#pragma once

#include "wdftypes.h"

WDFAPI WDFDEVICE WdfFileObjectGetDevice(_In_ WDFFILEOBJECT FileObject);
WDFAPI PUNICODE_STRING WdfFileObjectGetFileName(_In_ WDFFILEOBJECT FileObject);
WDFAPI PFILE_OBJECT WdfFileObjectWdmGetFileObject(_In_ WDFFILEOBJECT FileObject);
