// The kernel services the driver is written against. This is the only
// platform header the driver includes: a Windows build gets the real
// driver kit headers, a host build the simulated NT kernel, which declares
// the same names, fields and semantics.
#pragma once

#if defined(_WIN32)
#include <ntifs.h>  // the security routines; it includes ntddk.h
#include <ntddscsi.h>
#include <ntddstor.h>
#include <srb.h>
#else
#include "host_kernel/ntkernel.h"
#endif
