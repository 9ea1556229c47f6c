// Compiled, not run: the boundary records in a 32-bit x86 build, where the
// headers' own checks pin the layout the outside world sees.
#include "common/cdc_protocol.h"
#include "common/dc_bus_interface.h"

static_assert(sizeof(void*) == 4, "compile this file with -m32");
static_assert(sizeof(DC_ENUMERATOR_INTERFACE) == 168, "record size");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, Context) == 4, "Context");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, InterfaceDereference) == 12, "InterfaceDereference");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, generic_control) == 20, "slot 1");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, data_abort) == 60, "slot 11");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, is_suspended) == 148, "slot 33");

int main() { return 0; }
