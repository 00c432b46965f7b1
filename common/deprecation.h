#pragma once
// Brackets a deliberate use of a call its library marks deprecated, for both
// GCC/Clang and MSVC.

#if defined(__GNUC__)
#define UNINSTALL_ALLOW_DEPRECATED_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define UNINSTALL_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
#elif defined(_MSC_VER)
#define UNINSTALL_ALLOW_DEPRECATED_BEGIN __pragma(warning(push)) __pragma(warning(disable : 4996))
#define UNINSTALL_ALLOW_DEPRECATED_END __pragma(warning(pop))
#else
#define UNINSTALL_ALLOW_DEPRECATED_BEGIN
#define UNINSTALL_ALLOW_DEPRECATED_END
#endif
