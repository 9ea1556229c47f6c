/*
 * Must not compile for x86: an interface reference routine declared without
 * NTAPI has the C calling convention, which is not the one the interface's
 * callers use on Windows x86. driver_rejects_wrong_calling_convention expects
 * exactly that error.
 */
#include <ntddk.h>

static VOID NTAPI reference_standard(PVOID context) { UNREFERENCED_PARAMETER(context); }
static VOID reference_c(PVOID context) { UNREFERENCED_PARAMETER(context); }

VOID set_references(PINTERFACE standard, PINTERFACE wrong)
{
    standard->InterfaceReference = reference_standard;
    wrong->InterfaceReference = reference_c;
}
