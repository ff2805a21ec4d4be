// String buffer: appends, formatted appends and clears on one buffer,
// checked after each step against a std::string of the same bytes.
//
// Input: a sequence of steps, each an op byte followed by its operands
// (see run_op).  Some steps append text taken from the buffer itself, the
// way a caller appends part of what it built: the source then lies in the
// storage that the growth moves.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "ombrix.h"

namespace {

constexpr size_t str_cap = 64 * 1024;

// The buffer under test and the bytes it must hold.
struct Subject {
  ox_str *str;
  std::string model;
};

// vsnprintf into a std::string: what a formatted append must add.
__attribute__((format(printf, 1, 0))) std::string format_va(const char *fmt,
                                                            va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  OXF_CHECK(n >= 0);
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  vsnprintf(buf.data(), buf.size(), fmt, ap);
  return std::string(buf.data(), static_cast<size_t>(n));
}

// ox_str_printf_va() with the expected text worked out first, while
// arguments that point into the buffer are still valid.
__attribute__((format(printf, 2, 3))) void append_va(Subject &s,
                                                     const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = format_va(fmt, ap);
  va_end(ap);
  va_start(ap, fmt);
  int rc = ox_str_printf_va(s.str, fmt, ap);
  va_end(ap);
  OXF_CHECK(rc == 0);
  s.model += text;
}

// At most |precision| bytes of the content from |offset|, appended through
// ox_str_printf() (the variadic entry).
void append_self(Subject &s, size_t offset, int precision) {
  const char *from = ox_str_content(s.str) + offset;
  std::string text(from, strnlen(from, static_cast<size_t>(precision)));
  OXF_CHECK(ox_str_printf(s.str, "%.*s", precision, from) == 0);
  s.model += text;
}

void write(Subject &s, const char *val, size_t len) {
  std::string copy(val, len);  // |val| may lie in the buffer
  int rc = ox_str_write(s.str, val, len);
  OXF_CHECK(rc == (len == 0 ? EINVAL : 0));
  s.model += copy;
}

void run_op(Subject &s, oxfuzz::Input &in) {
  // An append of the content doubles it: past this size the buffer is
  // emptied first, so every input stays small in time and memory.
  if (s.model.size() > str_cap) {
    OXF_CHECK(ox_str_clear(s.str) == 0);
    s.model.clear();
  }
  size_t len = ox_str_length(s.str);
  switch (in.byte() % 10) {
    case 0: {  // raw bytes, NUL included
      std::string bytes = in.bytes(in.byte());
      write(s, bytes.data(), bytes.size());
      break;
    }
    case 1:
      append_va(s, "%s", in.text().c_str());
      break;
    case 2: {
      uint32_t v = in.u32();
      append_va(s, "%d|%u|%x", static_cast<int>(v), v, v);
      break;
    }
    case 3:  // %c of 0 adds a NUL byte, which the length counts
      append_va(s, "%c", in.byte());
      break;
    case 4: {  // padding makes long texts from short inputs
      int width = in.byte();
      append_va(s, "%*s", width, in.text().c_str());
      break;
    }
    case 5: {
      std::string a = in.text(), b = in.text();
      append_va(s, "%s%s", a.c_str(), b.c_str());
      break;
    }
    case 6:
      OXF_CHECK(ox_str_clear(s.str) == 0);
      s.model.clear();
      break;
    case 7:  // the whole content (up to a NUL) appended to itself
      append_va(s, "%s", ox_str_content(s.str));
      break;
    case 8: {  // a piece of the content, formatted
      size_t offset = in.byte() % (len + 1);
      append_self(s, offset, in.byte());
      break;
    }
    case 9: {  // a piece of the content, raw
      size_t offset = in.u16() % (len + 1);
      size_t n = in.u16() % (len - offset + 1);
      write(s, ox_str_content(s.str) + offset, n);
      break;
    }
  }
  OXF_CHECK(ox_str_length(s.str) == s.model.size());
  const char *content = ox_str_content(s.str);
  OXF_CHECK(memcmp(content, s.model.data(), s.model.size()) == 0);
  OXF_CHECK(content[s.model.size()] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  Subject s{ox_str_new(), {}};
  OXF_CHECK(s.str != nullptr);
  // Bounded by the input: each step takes at least one byte.
  while (!in.empty()) run_op(s, in);
  ox_str_free(s.str);
  return 0;
}
