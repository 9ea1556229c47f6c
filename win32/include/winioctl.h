/* I/O control codes, as applications build them. */
#pragma once

#include <devioctl.h>
