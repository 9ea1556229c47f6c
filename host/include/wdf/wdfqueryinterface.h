/* Driver-defined interfaces answered by the framework: none are exposed. */
#pragma once

#include "wdffdo.h"
