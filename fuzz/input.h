// What the fuzz targets share: a reader that takes small values off the
// fuzzer's bytes, and a check that stops the run with a message.
#ifndef OX_FUZZ_INPUT_H
#define OX_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A broken invariant is a finding: say which one and abort, so that both
// libFuzzer and the replay runs stop on it with the input named.
#define OXF_CHECK(cond) \
  ((cond) ? (void)0 : oxfuzz::fail(#cond, __FILE__, __LINE__))

namespace oxfuzz {

[[noreturn]] inline void fail(const char *what, const char *file, int line) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

// Reads an input front to back.  Past its end every read gives 0 or an
// empty text, so a target never checks lengths and every input is valid.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }

  uint8_t byte() { return p_ != end_ ? *p_++ : 0; }

  uint16_t u16() {
    uint16_t lo = byte();
    return static_cast<uint16_t>(lo | (byte() << 8));
  }

  uint32_t u32() {
    uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }

  // At most |n| bytes as they are, NUL bytes included.
  std::string bytes(size_t n) {
    size_t take = n < left() ? n : left();
    std::string out(reinterpret_cast<const char *>(p_), take);
    p_ += take;
    return out;
  }

  // A length byte, then that many bytes cut at the first NUL: a C string.
  std::string text() {
    std::string out = bytes(byte());
    out.resize(strlen(out.c_str()));
    return out;
  }

 private:
  size_t left() const { return static_cast<size_t>(end_ - p_); }

  const uint8_t *p_;
  const uint8_t *end_;
};

// ASCII case folding, as the string map compares names.
inline std::string fold(std::string s) {
  for (char &c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return s;
}

}  // namespace oxfuzz

#endif  // OX_FUZZ_INPUT_H
