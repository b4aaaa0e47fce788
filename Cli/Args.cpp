#include "Args.h"

#include <charconv>

namespace tzcli {

namespace {

const OptionDecl* FindOption(const std::vector<OptionDecl>& declared, const std::string& name) {
  for (const OptionDecl& option : declared)
    if (name == option.name) return &option;
  return nullptr;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string ParsedArgs::Text(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

int64_t ParsedArgs::Int(const std::string& name, int64_t fallback, int64_t lo,
                        int64_t hi) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : ParseInt(name, it->second, lo, hi);
}

uint64_t ParsedArgs::Unsigned(const std::string& name, uint64_t fallback, uint64_t hi) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : ParseUnsigned(name, it->second, hi);
}

void ParsedArgs::Require(const std::string& name) const {
  if (!Has(name)) throw UsageError("missing required option " + name);
}

ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<OptionDecl>& declared) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' ||
        (arg[1] != '-' && arg != "-h")) {
      // A lone "-" or a negative number in a positional place is positional.
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionDecl* option = FindOption(declared, name);
    if (option == nullptr) throw UsageError("unknown option " + Quoted(name));
    if (parsed.Has(name)) throw UsageError("option " + name + " is given more than once");
    if (!option->takesValue) {
      if (eq != std::string::npos) throw UsageError("option " + name + " takes no value");
      parsed.flags.insert(name);
      continue;
    }
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else {
      // "--dump-dir --copy-id 3" is a forgotten value, not a folder named
      // "--copy-id".
      if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
        throw UsageError("option " + name + " needs a value");
      value = args[++i];
    }
    if (value.empty()) throw UsageError("option " + name + " needs a value");
    parsed.values[name] = value;
  }
  return parsed;
}

int64_t ParseInt(const std::string& what, const std::string& text, int64_t lo, int64_t hi) {
  int64_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, ec] = std::from_chars(first, last, value, 10);
  if (text.empty() || end != last || (ec != std::errc() && ec != std::errc::result_out_of_range))
    throw UsageError(what + ": " + Quoted(text) + " is not a decimal integer");
  if (ec == std::errc::result_out_of_range || value < lo || value > hi)
    throw UsageError(what + ": " + Quoted(text) + " is out of range (" + std::to_string(lo) +
                     " to " + std::to_string(hi) + ")");
  return value;
}

uint64_t ParseUnsigned(const std::string& what, const std::string& text, uint64_t hi) {
  uint64_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, ec] = std::from_chars(first, last, value, 10);
  // from_chars takes no sign for unsigned types, so "-1" fails here.
  if (text.empty() || end != last || (ec != std::errc() && ec != std::errc::result_out_of_range))
    throw UsageError(what + ": " + Quoted(text) + " is not a non-negative decimal integer");
  if (ec == std::errc::result_out_of_range || value > hi)
    throw UsageError(what + ": " + Quoted(text) + " is out of range (0 to " +
                     std::to_string(hi) + ")");
  return value;
}

}  // namespace tzcli
