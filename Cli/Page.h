// `tzrecon report INPUT... --output PAGE.html`: one self-contained HTML page
// of dumps, a difference file (with its two dumps), or a folder of dumps:
// totals, a picture of where the bytes are, every volume's figures.
// Exit status: 0 the page was written; 2 bad input, a bad command line, or a
// page that could not be written (no page is left then).
#pragma once

#include <string>
#include <vector>

namespace tzcli {

// Runs the command on its arguments (after "report"); returns the exit status.
int RunPage(const std::vector<std::string>& args);

}  // namespace tzcli
