// `tzrecon dump`: fills the library's request record from the command line,
// runs the requested dumps, and reports the result.
#pragma once

#include <string>
#include <vector>

namespace tzcli {

// Runs the command on its arguments (after "dump"); returns the exit status:
// 0 done, 1 the library reported failure, 2 (by UsageError) a bad argument.
int RunDump(const std::vector<std::string>& args);

}  // namespace tzcli
