/*
 * The kernel's interface as a driver sees it. The pieces live under wdk/,
 * one per kernel component of the host; drivers include this header (or
 * wdm.h) only.
 */
#pragma once
#include "ntdef.h"
#include "ntstatus.h"
#include "wdk/ke.h"
#include "wdk/rtl.h"
#include "wdk/io.h"
#include "wdk/reg.h"
