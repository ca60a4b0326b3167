#pragma once
// The one rule that locates the driver cache folder (the folder of the
// monitored-volume list, the driver hooks, the driverless device records and
// the KZBF snapshot files) is a static of the Unix device-configuration
// handler, whose class belongs to the device-configuration subsystem. The
// rule itself is tracking's and is defined in driver_cache_folder.cc, beside
// the code that every caller of it already uses.
#include "devconfig/kz_device_config_handler_unix.h"
