// The media label: LabelCarriesCopyId on the 1551 bytes the reader sees.
//
// Input: the copy id (4 bytes, little-endian), a layout byte, then label
// bytes. Layout 0: the bytes are the label from its first byte; otherwise
// they are placed at byte 1007 after a filler. Either way the label is cut
// or padded (with a byte from the input) to exactly 1551 bytes, in a buffer
// of that size. Checked:
//  - the answer equals strtol's reading of the text from byte 1007: a number
//    inside the signed 32-bit range, compared as 32-bit; any number outside
//    it never matches;
//  - a label written with the copy id's own decimal text at byte 1007,
//    followed by anything that is not a digit, carries that copy id.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "LibraryLayout.h"

namespace {

constexpr size_t kSize = tzrecon::kLabelReadSize;
constexpr size_t kAt = tzrecon::kLabelCopyIdOffset;

bool Expected(const char* label, uint32_t copyId) {
  const std::string text(label + kAt, kSize - kAt);  // strtol stops at a zero byte
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
  return static_cast<uint32_t>(static_cast<int32_t>(value)) == copyId;
}

bool Carries(const std::string& bytes, uint32_t copyId) {
  FUZZ_CHECK(bytes.size() == kSize);
  std::unique_ptr<char[]> label(new char[kSize]);
  std::memcpy(label.get(), bytes.data(), kSize);
  return tzrecon::LabelCarriesCopyId(label.get(), copyId);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  tzfuzz::Input input(data, size);
  const uint32_t copyId = input.U32();
  const uint8_t layout = input.Byte();
  const char fill = static_cast<char>(input.Byte());
  const std::string bytes = input.Rest();

  std::string label = layout == 0 ? bytes : std::string(kAt, fill) + bytes;
  label.resize(kSize, fill);
  FUZZ_CHECK(Carries(label, copyId) == Expected(label.data(), copyId));

  // The writer's form: the id's decimal text, then a byte that is no digit.
  std::string written = label;
  const std::string text = std::to_string(static_cast<int32_t>(copyId));
  written.replace(kAt, text.size(), text);
  char& after = written[kAt + text.size()];
  if (after >= '0' && after <= '9') after = '\n';
  FUZZ_CHECK(Carries(written, copyId));
  return 0;
}
