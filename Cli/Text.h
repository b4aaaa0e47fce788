// Small text helpers of tzrecon.
#pragma once

#include <string>

namespace tzcli {

// `text` escaped for use inside a JSON string: quote, backslash and control
// bytes are escaped; other bytes pass unchanged.
std::string JsonEscape(const std::string& text);

}  // namespace tzcli

namespace tzcli {

// `text` with control bytes escaped as the host log escapes them: "\\",
// "\n", "\r", "\t", other control bytes and DEL as "\xHH".
std::string EscapeControl(const std::string& text);

}  // namespace tzcli

namespace tzcli {

// Reads the whole regular file `path` (at most 64 MiB) into `text`; on
// failure returns false with a reason ("cannot open: ...", "not a regular
// file", ...). A FIFO in the file's place does not block.
bool ReadSmallFile(const std::string& path, std::string& text, std::string& reason);

}  // namespace tzcli
