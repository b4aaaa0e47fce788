// The HTML of `tzrecon report`: one self-contained file, its style and
// script inline, its data one JSON block. A Content-Security-Policy keeps it
// from loading anything at all, so it opens alike from a mail attachment.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tzcli::page {

// `data` as text that can stand inside a <script> element: every '<', '>'
// and '&' is a JSON escape, so no "</script>" or "<!--" can end or bend it;
// bytes that are not UTF-8 become U+FFFD.
std::string ScriptSafeJson(const nlohmann::ordered_json& data);

// The whole page.
std::string PageHtml(const nlohmann::ordered_json& data);

}  // namespace tzcli::page
