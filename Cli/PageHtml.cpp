#include "PageHtml.h"

namespace tzcli::page {

extern const char kPageScript[];  // PageScript.js, built into PageAssets.cpp
extern const char kPageStyle[];   // PageStyle.css

std::string ScriptSafeJson(const nlohmann::ordered_json& data) {
  const std::string text = data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  // These bytes stand only inside JSON strings, where an escape means the same.
  for (const char c : text) {
    if (c == '<') out += "\\u003c";
    else if (c == '>') out += "\\u003e";
    else if (c == '&') out += "\\u0026";
    else out += c;
  }
  return out;
}

std::string PageHtml(const nlohmann::ordered_json& data) {
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Nothing but the page's own inline style and script may run or load.
  html += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  html += "<title>tzrecon report</title>\n<style>\n";
  html += kPageStyle;
  html += "</style>\n</head>\n<body>\n";
  html += R"(<header><h1 id="title">tzrecon report</h1><div class="sub">)";
  html += "written by tzrecon " TZRECON_VERSION "</div></header>\n";
  html += R"(<noscript><p>This page draws itself with its inline script; the figures are in its
data block (page-data) as JSON.</p></noscript>
<section><h2>Inputs</h2><table id="inputs"><thead><tr><th>Input</th><th>Type</th><th>Role</th>
<th>Mount path</th><th>Rows</th><th>Bytes held</th><th>State</th><th>Notices</th></tr></thead>
<tbody></tbody></table><ul id="notes"></ul></section>
<section><h2>Totals</h2><dl id="totals"></dl></section>
<section><h2>Where the bytes are</h2><p id="legend"></p><div class="picture">
<svg id="map" viewBox="0 0 1000 560" role="img"
 aria-label="mount paths and volumes by bytes"></svg>
<aside id="detail"><p>Click a volume in the picture or the table for its figures.</p></aside>
</div></section>
<section><h2>Volumes</h2><p id="pager"><label>Volume id <input id="find" size="10"></label>
<button data-go="top">first</button><button data-go="prev">previous</button>
<button data-go="next">next</button> <span></span></p><div class="scroll"><table id="volumes"><thead></thead><tbody></tbody>
</table></div></section>
<section id="chunks"></section>
)";
  html += "<script type=\"application/json\" id=\"page-data\">";
  html += ScriptSafeJson(data);
  html += "</script>\n<script>\n";
  html += kPageScript;
  html += "</script>\n</body>\n</html>\n";
  return html;
}

}  // namespace tzcli::page
