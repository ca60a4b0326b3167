#pragma once
// Destination operating systems by their ids: which ones write paths with
// '\' (Windows) and which with '/' (Unix). Ids of neither list are unknown.
namespace records {

bool IsWindowsOsId(int id);
bool IsUnixOsId(int id);

}  // namespace records
