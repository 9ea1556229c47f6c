/* Included before a GUID header, makes DEFINE_GUID define the GUIDs. */
#pragma once
#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C __attribute__((weak)) const GUID name = { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }
