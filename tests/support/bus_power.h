// The bus suspends and resumes a simulated function through the driver's
// callbacks, and lets what that starts run to its end.
#pragma once

#include "bus/cdc_function.h"

namespace porttest {

inline void bus_suspends(bus::CdcFunction& fn)
{
    fn.suspend();
    fn.settle();
}

inline void bus_resumes(bus::CdcFunction& fn)
{
    fn.resume();
    fn.settle();
}

}  // namespace porttest
