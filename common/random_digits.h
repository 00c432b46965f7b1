#pragma once
// Names nobody can foresee, from the system's random source.

#include <string>

// `count` lower-case hexadecimal digits; "" when the system refuses.
std::wstring RandomHexDigits(size_t count);
