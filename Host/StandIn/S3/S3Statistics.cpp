#include "S3Statistics.h"

#include "EvDebug.h"
#include "S3Requests.h"

namespace tzs3 {

void LogCounts(EvDebug& debug, const std::string& root, long sent, const AheadCounts& ahead,
               const WholeCounts& whole) {
  if (sent > 0) {
    debug.DebugLvl(kStoreTag, 1,
                   "S3 %s: %ld requests, %ld of them made ahead; of those, answered: %ld, "
                   "never asked for: %ld, failed and asked again: %ld",
                   root.c_str(), sent, ahead.made, ahead.used, ahead.unused, ahead.failed);
  }
  if (whole.pages > 0) {
    debug.DebugLvl(kStoreTag, 1,
                   "S3 %s: whole-prefix listings: %ld pages (%ld failed) for %ld volumes; "
                   "listings answered: %ld, volumes listed on their own: %ld, passed over: %ld",
                   root.c_str(), whole.pages, whole.failed, whole.volumes, whole.answered,
                   whole.missed, whole.passed);
  }
}

}  // namespace tzs3
