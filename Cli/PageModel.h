// What the page of `tzrecon report` shows, as one JSON value: the inputs
// and their completeness, the totals, the figures of every volume, and the
// first chunks of each kind of difference. The page's script draws it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tzcli::page {

// At most this many chunks of each kind of difference are listed.
constexpr size_t kListedChunks = 1000;
// At most this many volumes have rows of their own; the others of each
// mount path are summed into one row (the page stays small at any scale).
constexpr size_t kListedVolumes = 20000;

// Reads `inputs` (dumps, difference files, folders of dumps) into `*data`;
// false with `*error` set for bad input.
bool BuildPageData(const std::vector<std::string>& inputs, nlohmann::ordered_json* data,
                   std::string* error);

}  // namespace tzcli::page
