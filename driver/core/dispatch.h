// The routines DriverEntry installs in the driver object, and the read
// timer's DPC routine that AddDevice binds to each device.  Each is declared,
// with its contract, once, in the header of its own concern.
#pragma once

#include "core/open_close.h"
#include "core/pnp.h"
#include "power/power.h"
#include "serial/control.h"
#include "serial/read.h"
#include "serial/write.h"
#include "wmi/wmi.h"
