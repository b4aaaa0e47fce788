// The registry's JSON reading: tzhost::FindMountPath.
//
// Input: a mode byte, then
//  - mode even (any text): the id looked up, then the registry text;
//  - mode odd (a registry built from the input): entries with ids from a
//    small range (so some repeat), every string value holding the marker
//    "SECRET", and faults the input picks: a field of the wrong type, an id
//    out of range, an empty or missing path, "password" and "passwordEnv"
//    together, an unset password variable, a bad "addressing", a "type"
//    other than 4 or 7, S3 fields on an entry that is not a cloud one,
//    unknown fields, or the text cut short.
// Checked:
//  - nothing is thrown and the error text of a failure names the source;
//  - an error never quotes the file: no byte of it outside printable ASCII
//    for any text, and never the marker for a built registry;
//  - a built registry gives exactly the result its rules say: the entry
//    with all its fields when every entry is valid, the ids are unique, the
//    id is present and its password variable is set; a failure otherwise.
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Registry.h"

namespace {

const char kSource[] = "REG";
const char kSetVariable[] = "TZFUZZ_PASSWORD_SET";
const char kSetValue[] = "SECRET-from-the-environment";
const char kUnsetVariable[] = "TZFUZZ_PASSWORD_UNSET_SECRET";

bool Find(const std::string& text, int id, tzhost::MountPathEntry& entry, std::string& error) {
  bool found = false;
  try {
    found = tzhost::FindMountPath(text, kSource, id, entry, error);
  } catch (...) {
    FUZZ_CHECK(!"FindMountPath threw");
  }
  if (!found) {
    FUZZ_CHECK(error.compare(0, 5, "REG: ") == 0);
    for (unsigned char c : error) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
  } else {
    FUZZ_CHECK(entry.id == id && !entry.path.empty());
    FUZZ_CHECK(entry.addressing == "path" || entry.addressing == "virtual");
  }
  return found;
}

// Printable text without quotes or backslashes needs no escaping; the rest
// of 0x01..0x7f is written as \u00XX.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != '"' && u != '\\') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    }
  }
  return out + "\"";
}

// Input text as a JSON string value may carry it: bytes 0x01..0x7f.
std::string Value(tzfuzz::Input& input) {
  std::string text = "SECRET" + input.Text(40);
  for (char& c : text) {
    c = static_cast<char>(c & 0x7f);
    if (c == '\0') c = '.';
  }
  return text;
}

struct Entry {
  int id = 0;
  tzhost::MountPathEntry expected;
  bool valid = true;
  bool passwordVariableUnset = false;
  std::string json;
};

Entry BuildEntry(tzfuzz::Input& input) {
  Entry e;
  const uint8_t flags = input.Byte();
  const uint8_t fault = input.Byte() % 16;
  e.id = static_cast<int>(input.Byte() % 8) - 2;
  tzhost::MountPathEntry& x = e.expected;
  x.id = e.id;
  x.path = Value(input);
  std::vector<std::string> fields;
  switch (fault) {
    case 1: fields.push_back("\"id\": \"" + std::to_string(e.id) + "\""); e.valid = false; break;
    case 2: fields.push_back("\"id\": 3000000000"); e.valid = false; break;
    case 3: fields.push_back("\"id\": " + std::to_string(e.id) + ".5"); e.valid = false; break;
    case 4: break;  // no id
    default: fields.push_back("\"id\": " + std::to_string(e.id)); break;
  }
  if (fault == 4) e.valid = false;
  switch (fault) {
    case 5: e.valid = false; break;  // no path
    case 6: fields.push_back("\"path\": \"\""); e.valid = false; break;
    case 7: fields.push_back("\"path\": 17"); e.valid = false; break;
    default: fields.push_back("\"path\": " + Json(x.path)); break;
  }
  if (flags & 1) {
    const uint8_t pick = input.Byte() % 4;
    x.type = (flags & 2) ? 7 : pick == 0 ? 4 : static_cast<int>(input.U32() % 100000) - 50000;
    fields.push_back("\"type\": " + (fault == 8 ? Json(std::to_string(x.type))
                                                : std::to_string(x.type)));
    if (fault == 8 || (x.type != 4 && x.type != 7)) e.valid = false;
  }
  if (flags & 4) {
    x.serverType = static_cast<int>(input.U32());
    fields.push_back("\"serverType\": " + std::to_string(x.serverType));
  }
  if (flags & 8) {
    x.user = Value(input);
    fields.push_back("\"user\": " + (fault == 9 ? std::string("[1]") : Json(x.user)));
    if (fault == 9) e.valid = false;
  }
  const int passwordKind = (flags >> 4) & 3;
  switch (passwordKind) {
    case 1:
      x.password = Value(input);
      fields.push_back("\"password\": " + Json(x.password));
      if (fault == 10) {
        fields.push_back("\"passwordEnv\": " + Json(kSetVariable));
        e.valid = false;
      }
      break;
    case 2:
      x.password = kSetValue;
      fields.push_back("\"passwordEnv\": " + Json(kSetVariable));
      break;
    case 3:
      e.passwordVariableUnset = true;
      fields.push_back("\"passwordEnv\": " + Json(kUnsetVariable));
      break;
    default:
      break;
  }
  if (fault == 11 && passwordKind == 0) {  // (a key given twice is not a fault we build)
    fields.push_back("\"passwordEnv\": \"\"");
    e.valid = false;
  }
  // The S3 fields belong to cloud entries only.
  if ((flags & (64 | 128)) != 0 && x.type != 7) e.valid = false;
  if (flags & 64) {
    x.endpoint = Value(input);
    x.region = Value(input);
    fields.push_back("\"endpoint\": " + Json(x.endpoint));
    fields.push_back("\"region\": " + Json(x.region));
  }
  if (flags & 128) {
    const uint8_t a = input.Byte() % 3;
    x.addressing = a == 0 ? "path" : a == 1 ? "virtual" : Value(input);
    if (a == 2) e.valid = false;
    fields.push_back("\"addressing\": " + Json(x.addressing));
  }
  if (fault == 12) {  // a field the registry does not know
    fields.push_back("\"note\": " + Json(Value(input)));
    e.valid = false;
  }
  // Fields in an order the input picks: rotate the list.
  const size_t turn = fields.empty() ? 0 : input.Byte() % fields.size();
  std::string json = "{";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) json += ", ";
    json += fields[(i + turn) % fields.size()];
  }
  json += "}";
  if (fault == 13) {
    json = "[" + json + "]";  // not an object
    e.valid = false;
  }
  e.json = json;
  return e;
}

void BuiltRegistry(tzfuzz::Input& input) {
  const int wanted = static_cast<int>(input.Byte() % 8) - 2;
  const uint8_t shape = input.Byte();
  const size_t count = input.Byte() % 5;
  std::vector<Entry> entries;
  for (size_t i = 0; i < count; ++i) entries.push_back(BuildEntry(input));

  std::string list = "[";
  for (size_t i = 0; i < entries.size(); ++i) list += (i ? ",\n " : "") + entries[i].json;
  list += "]";
  std::string text;
  bool validTop = true;
  switch (shape % 8) {
    case 1: text = "{\"other\": " + list + "}"; validTop = false; break;
    case 2: text = "{\"mountPaths\": {\"a\": " + list + "}}"; validTop = false; break;
    case 3: text = list; validTop = false; break;
    case 4: text = "{\"comment\": " + Json(Value(input)) + ", \"mountPaths\": " + list + "}"; break;
    default: text = "{\"mountPaths\": " + list + "}"; break;
  }
  // Cut short somewhere before its last byte: never valid JSON.
  const bool cut = (shape & 8) != 0;
  if (cut) text.resize(input.U32() % text.size());

  bool expectFound = !cut && validTop;
  const Entry* match = nullptr;
  std::vector<int> ids;
  for (const Entry& e : entries) {
    if (!e.valid) expectFound = false;
    for (int id : ids)
      if (id == e.id) expectFound = false;
    ids.push_back(e.id);
    if (e.id == wanted) match = &e;
  }
  if (match == nullptr || match->passwordVariableUnset) expectFound = false;

  tzhost::MountPathEntry entry;
  std::string error;
  const bool found = Find(text, wanted, entry, error);
  FUZZ_CHECK(found == expectFound);
  if (!found) {
    FUZZ_CHECK(error.find("SECRET") == std::string::npos);
    return;
  }
  const tzhost::MountPathEntry& x = match->expected;
  FUZZ_CHECK(entry.path == x.path && entry.type == x.type && entry.serverType == x.serverType);
  FUZZ_CHECK(entry.user == x.user && entry.password == x.password);
  FUZZ_CHECK(entry.endpoint == x.endpoint && entry.region == x.region);
  FUZZ_CHECK(entry.addressing == x.addressing);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv(kSetVariable, kSetValue, 1);
  unsetenv(kUnsetVariable);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  tzfuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  if (mode & 1) {
    BuiltRegistry(input);
    return 0;
  }
  const int id = static_cast<int>(input.Byte() % 8) - 2;
  tzhost::MountPathEntry entry;
  std::string error;
  Find(input.Rest(), id, entry, error);
  return 0;
}
