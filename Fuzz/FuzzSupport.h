// Shared by the fuzz targets: the check that turns a broken property into a
// crash libFuzzer reports, and a reader that takes typed values off the
// front of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace tzfuzz {

// Reads values from the input; past its end every value is zero or empty.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
  uint64_t U64() { return static_cast<uint64_t>(U32()) | static_cast<uint64_t>(U32()) << 32; }
  bool Bool() { return (Byte() & 1) != 0; }
  // A string of at most `max` bytes: a length byte, then the bytes.
  std::string Text(size_t max = 255) {
    size_t length = Byte();
    if (length > max) length = max;
    if (length > m_size - m_pos) length = m_size - m_pos;
    std::string text(reinterpret_cast<const char*>(m_data + m_pos), length);
    m_pos += length;
    return text;
  }
  // Everything not read yet.
  std::string Rest() {
    std::string text(reinterpret_cast<const char*>(m_data + m_pos), m_size - m_pos);
    m_pos = m_size;
    return text;
  }
  size_t Left() const { return m_size - m_pos; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

}  // namespace tzfuzz
