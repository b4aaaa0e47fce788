// Symbol visibility of the reconciliation library.
//
// The library is compiled with hidden visibility; only what carries
// TZRECON_API is exported. TZRECON_BUILDING is defined by the library's own
// build (and by the object library that the unit tests share with it).
#pragma once

#if defined(TZRECON_BUILDING)
#define TZRECON_API __attribute__((visibility("default")))
#else
#define TZRECON_API __attribute__((visibility("default")))
#endif
