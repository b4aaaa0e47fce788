#include "Human.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace tzcli {

namespace {

bool g_humanSizes = false;

}  // namespace

void SetHumanSizes(bool human) { g_humanSizes = human; }

bool HumanSizes() { return g_humanSizes; }

bool WantHumanSizes(bool humanOption, int fd) { return humanOption || isatty(fd) == 1; }

std::string BinarySize(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  // The unit is chosen on the rounded value: 1048575 bytes read "1.0 MiB",
  // never "1024.0 KiB".
  while (unit + 1 < sizeof kUnits / sizeof kUnits[0] && std::round(value * 10) >= 1024 * 10) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string SizeText(uint64_t bytes) {
  const std::string exact = std::to_string(bytes) + " bytes";
  if (!g_humanSizes || bytes < 1024) return exact;
  return BinarySize(bytes) + " (" + exact + ")";
}

std::string HumanKindText(const char* kind, uint64_t count, bool withOld, uint64_t oldBytes,
                          bool withNew, uint64_t newBytes) {
  const std::string text = std::to_string(count) + " " + kind + ": ";
  if (!withNew) return text + SizeText(oldBytes);
  if (!withOld) return text + SizeText(newBytes);
  return text + SizeText(oldBytes) + " in OLD, " + SizeText(newBytes) + " in NEW";
}

std::string ClockDuration(double seconds) {
  const uint64_t total = seconds > 0 ? static_cast<uint64_t>(std::llround(seconds)) : 0;
  const uint64_t hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  char text[48];
  if (hours > 0)
    snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(hours),
             static_cast<unsigned long long>(minutes), static_cast<unsigned long long>(rest));
  else
    snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(minutes),
             static_cast<unsigned long long>(rest));
  return text;
}

}  // namespace tzcli
