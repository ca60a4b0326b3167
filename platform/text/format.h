#pragma once
// printf-style formatting into std::string.
#include <cstdarg>
#include <string>

namespace platform {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace platform
