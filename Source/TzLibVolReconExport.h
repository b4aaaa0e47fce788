// Symbol visibility of the reconciliation library.
//
// The library is compiled with hidden visibility; only what carries
// TZRECON_API is exported, and a program that includes the headers sees the
// same classes by the same names.
#pragma once

#define TZRECON_API __attribute__((visibility("default")))
