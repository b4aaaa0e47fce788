// What a mount path holds, looked at by tzrecon itself after a dump that
// succeeded with no rows: how many volume folders, how many carry the
// single-instance marker, which copies their media labels name. It turns a
// wrong copy id or a forgotten --single-instanced into a plain hint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Registry.h"

namespace tzcli {

// Lines that describe the mount path and, where one applies, "hint: ..."
// lines. Reads a disk mount path directly and a cloud one through the host's
// cloud component. Never fails: what cannot be read is said.
std::vector<std::string> ExplainNoRows(const tzhost::MountPathEntry& entry, int32_t copyId,
                                       bool singleInstanced);

}  // namespace tzcli
