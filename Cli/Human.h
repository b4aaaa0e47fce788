// Numbers for people: sizes in binary units ("39.3 GiB (42223732691 bytes)")
// and durations ("1:02:03"), for the summaries and status lines shown on a
// terminal. Output for scripts (--json, the rows, a summary on a pipe)
// keeps plain byte counts.
#pragma once

#include <cstdint>
#include <string>

namespace tzcli {

// Whether summaries show sizes in binary units: --human, or a terminal. Set
// once by the command, before anything is printed.
void SetHumanSizes(bool human);
bool HumanSizes();
// Whether sizes are shown for people: --human was given, or `fd` (where the
// summary goes) is a terminal.
bool WantHumanSizes(bool humanOption, int fd);

// "39.3 GiB", "1.0 KiB", "512 bytes": one decimal from 1 KiB on,
// in KiB, MiB, GiB, TiB, PiB or EiB (powers of 1024).
std::string BinarySize(uint64_t bytes);
// "42223732691 bytes" or, with human sizes, "39.3 GiB (42223732691 bytes)"
// (under 1 KiB both read "512 bytes").
std::string SizeText(uint64_t bytes);

// A kind of difference of tzrecon diff with its sizes for people: "1
// missing: 39.3 GiB (42223732691 bytes)", "2 changed: 1.0 KiB (1024 bytes) in
// OLD, 2.0 KiB (2048 bytes) in NEW", as `withOld` and `withNew` say.
std::string HumanKindText(const char* kind, uint64_t count, bool withOld, uint64_t oldBytes,
                          bool withNew, uint64_t newBytes);

// "0:42", "12:05", "1:02:03": whole seconds as [h:]mm:ss.
std::string ClockDuration(double seconds);

}  // namespace tzcli
