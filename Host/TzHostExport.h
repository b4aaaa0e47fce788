// Symbol visibility of the host services library.
//
// The host's libraries are built with hidden visibility; everything a caller
// may reach is marked with TZHOST_API. The macro is keyed on
// TZHOST_BUILDING, which only the host library's own build defines.
#pragma once

#if defined(TZHOST_BUILDING)
#define TZHOST_API __attribute__((visibility("default")))
#else
#define TZHOST_API __attribute__((visibility("default")))
#endif
