#pragma once
// Marks what the agent may call: everything else in libblocklevel.so is hidden.
#define BLB_EXPORT __attribute__((visibility("default")))
