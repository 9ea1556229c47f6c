/* Small helpers of the framework's core header (time-out conversions: wdftimer.h). */
#pragma once

#include "wdftypes.h"

#define WDF_ALIGN_SIZE_DOWN(Length, AlignTo) ((Length) & ~((AlignTo) - 1))
#define WDF_ALIGN_SIZE_UP(Length, AlignTo) WDF_ALIGN_SIZE_DOWN((Length) + (AlignTo) - 1, AlignTo)
#define WDF_PTR_ADD_OFFSET_TYPE(_ptr, _offset, _type) ((_type)(((PUCHAR)(_ptr)) + (_offset)))
#define WDF_PTR_ADD_OFFSET(_ptr, _offset) WDF_PTR_ADD_OFFSET_TYPE(_ptr, _offset, PVOID)
