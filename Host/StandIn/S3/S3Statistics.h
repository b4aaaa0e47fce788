// What the S3 store counts of its work, told at debug level 1 when it
// closes: how many answers it made ahead and what became of them, and how
// the whole-prefix listings went.
#pragma once

#include <string>

class EvDebug;

namespace tzs3 {

struct AheadCounts {
  long made = 0;    // requests made ahead
  long used = 0;    // of those, answered a question of the walk
  long unused = 0;  // never asked for
  long failed = 0;  // failed, and asked again when the walk got there
};

struct WholeCounts {
  long pages = 0, failed = 0;  // pages asked for; listings that failed
  long volumes = 0;   // folders planned to be answered so
  long answered = 0;  // listings answered
  long missed = 0;    // folders left to their own requests
  long passed = 0;    // complete answers the walk passed over
};

// The closing lines for the mount path `root`, after `sent` requests.
void LogCounts(EvDebug& debug, const std::string& root, long sent, const AheadCounts& ahead,
               const WholeCounts& whole);

}  // namespace tzs3
