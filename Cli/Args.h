// Command-line parsing for tzrecon: long options ("--name value" or
// "--name=value"), flags, positional arguments, and strict decimal numbers.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tzcli {

// A bad command line. The message names the argument at fault; the command
// reports it and exits with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionDecl {
  const char* name;  // with its leading "--"
  bool takesValue;
};

struct ParsedArgs {
  std::map<std::string, std::string> values;  // options that take a value
  std::set<std::string> flags;                // options without a value
  std::vector<std::string> positional;
  bool help = false;                          // "--help" or "-h" was given

  bool Has(const std::string& name) const {
    return values.count(name) != 0 || flags.count(name) != 0;
  }
  // The value of `name`, or `fallback` when it was not given.
  std::string Text(const std::string& name, const std::string& fallback = "") const;
  // The value of `name` as a decimal integer within [lo, hi], or `fallback`
  // when it was not given. Throws UsageError naming the option otherwise.
  int64_t Int(const std::string& name, int64_t fallback, int64_t lo, int64_t hi) const;
  uint64_t Unsigned(const std::string& name, uint64_t fallback, uint64_t hi) const;
  // Throws UsageError unless `name` was given.
  void Require(const std::string& name) const;
};

// Parses `args` (without the program and command names) against `declared`.
// Throws UsageError for an unknown option, a missing or empty value, an
// option given twice, or a value given to a flag. "--" ends the options.
ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<OptionDecl>& declared);

// Strict decimal: an optional "-", then digits only, nothing else (no blanks,
// no "+", no "0x"), within [lo, hi]. Throws UsageError naming `what`.
int64_t ParseInt(const std::string& what, const std::string& text, int64_t lo,
                 int64_t hi);
uint64_t ParseUnsigned(const std::string& what, const std::string& text, uint64_t hi);

}  // namespace tzcli
