#pragma once
// Linux block-device geometry queries and the agent's snapshot handler script.
#include <cstdint>
#include <string>

// The device's size in bytes, rounded down to whole blocks of the device's
// block size. False (and a log line) when the device cannot be opened or asked.
bool GetDeviceSize(std::string device, uint64_t* size);
// The same; the size before rounding goes to unroundedSize when given.
bool GetDeviceSize_Internal(std::string device, uint64_t* size, uint64_t* unroundedSize);

// Logical and physical sector size, minimum and optimal I/O size. True also
// when a query fails: all four are then 0. False only when the device cannot
// be opened.
bool GetDiskSectorSz(const std::string& device, uint64_t* logicalSectorSz, uint64_t* physicalSectorSz,
                     uint64_t* ioMinimalSz, uint64_t* ioOptimalSz);

// Runs "<dTARVOSHOME>/Base/ImgUxaSnapHandler.sh" with the command line made
// of the script path, second, first (no separators added), " -jobid " and the
// job id. Waits once, briefly: a script that ended, whatever its status, or
// one still running then, counts as success. Never throws.
bool FireUserGivenScript(std::string first, std::string second, uint64_t jobId);
