// String buffer: a handle over a UT_string whose growth failures come back
// as ENOMEM instead of ending the program.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"

namespace {

// utstring calls utstring_oom() when its malloc or realloc fails, before it
// stores the failed pointer; throwing there leaves the UT_string untouched.
struct str_oom {};

// Releases a body block of the standard allocator.
struct str_std_free {
  void operator()(char *d) const noexcept { free(d); }
};

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#define utstring_oom() throw str_oom {}
// The body keeps the standard allocator, routed through the counted hooks;
// the macros stay defined for the uses of utstring's macros below.
#define malloc(n) ox__std_malloc(n)
#define realloc(p, n) ox__std_realloc(p, n)
#include "ox_str.h"

namespace {

// How often a formatter error may be answered by doubling the room before
// the append gives up: glibc's errors (EOVERFLOW, EILSEQ) never heal, but a
// formatter that reports a short buffer as an error does.
constexpr int str_format_retries = 2;

// Appends |len| bytes at |val|, which may point into the buffer itself.
void str_append(UT_string *s, const char *val, size_t len) {
  auto from = reinterpret_cast<uintptr_t>(val);
  auto body = reinterpret_cast<uintptr_t>(s->d);
  bool inside = from >= body && from < body + s->n;
  utstring_reserve(s, len + 1);
  if (inside) val = s->d + (from - body);
  memcpy(&s->d[s->i], val, len);
  s->i += len;
  s->d[s->i] = '\0';
}

// One formatting pass into |text| of |room| bytes.
__attribute__((format(printf, 3, 0))) int str_format_into(char *text,
                                                          size_t room,
                                                          const char *fmt,
                                                          va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int r = vsnprintf(text, room, fmt, copy);
  va_end(copy);
  return r;
}

// Grows the capacity by exactly |extra| bytes.
int str_grow(UT_string *s, size_t extra) {
  if (extra > SIZE_MAX - s->n) return ENOMEM;
  auto *d = static_cast<char *>(ox__std_realloc(s->d, s->n + extra));
  if (d == nullptr) return ENOMEM;
  s->d = d;
  s->n += extra;
  return 0;
}

// The formatted append.  An argument may point into the buffer itself
// (ox_str_printf(s, "%s", content)), and formatting in place would write
// over that argument's terminator (or free it, when the buffer grows)
// while it is still read.  So the text is formatted aside, on the stack
// when it is short, and then appended as ox_str_write() appends: a text
// that does not fit the free room grows the capacity by its length + 1.
__attribute__((format(printf, 2, 0))) int str_format(UT_string *s,
                                                     const char *fmt,
                                                     va_list ap) {
  char small[512];
  char *text = small;
  size_t room = sizeof(small);
  std::unique_ptr<char, str_std_free> large;
  int failures = 0;
  for (;;) {
    int r = str_format_into(text, room, fmt, ap);
    if (r >= 0 && static_cast<size_t>(r) < room) {
      auto len = static_cast<size_t>(r);
      if (len + 1 > s->n - s->i) {
        if (int rc = str_grow(s, len + 1); rc != 0) return rc;
      }
      memcpy(&s->d[s->i], text, len + 1);
      s->i += len;
      return 0;
    }
    if (r >= 0) {
      room = static_cast<size_t>(r) + 1;
    } else if (++failures > str_format_retries) {
      return EOVERFLOW;
    } else {
      // A formatter that reports a short buffer as an error: more room,
      // as much as the buffer itself gets.
      if (int rc = str_grow(s, s->n * 2); rc != 0) return rc;
      room = s->n - s->i > room ? s->n - s->i : room * 2;
    }
    large.reset(static_cast<char *>(ox__std_malloc(room)));
    if (large == nullptr) return ENOMEM;
    text = large.get();
  }
}

__attribute__((format(printf, 2, 0))) int str_printf(ox_str *str,
                                                     const char *fmt,
                                                     va_list ap) noexcept {
  ox__errno_guard keep;
  return str_format(str->buf, fmt, ap);
}

}  // namespace

ox_str *ox_str_new(void) noexcept {
  auto *str = static_cast<ox_str *>(ox_alloc(sizeof(ox_str)));
  if (str == nullptr) return nullptr;
  ox__errno_guard keep;
  try {
    utstring_new(str->buf);
  } catch (const str_oom &) {
    // utstring_new stores the record before it reserves the body.
    if (str->buf != nullptr) free(str->buf);
    ox_free(str);
    return nullptr;
  }
  return str;
}

void ox_str_free(ox_str *str) noexcept {
  if (str == nullptr) return;
  utstring_free(str->buf);
  ox_free(str);
}

int ox_str_write(ox_str *str, const char *val, size_t len) noexcept {
  if (str == nullptr || val == nullptr || len == 0) return EINVAL;
  UT_string *s = str->buf;
  // The growth n + len + 1 must not wrap around.
  if (len > SIZE_MAX - 1 - s->n) return ENOMEM;
  ox__errno_guard keep;
  try {
    str_append(s, val, len);
  } catch (const str_oom &) {
    return ENOMEM;
  }
  return 0;
}

int ox_str_printf_va(ox_str *str, const char *fmt, va_list ap) noexcept {
  if (str == nullptr || fmt == nullptr) return EINVAL;
  return str_printf(str, fmt, ap);
}

int ox_str_printf(ox_str *str, const char *fmt, ...) noexcept {
  if (str == nullptr || fmt == nullptr) return EINVAL;
  va_list ap;
  va_start(ap, fmt);
  int rc = str_printf(str, fmt, ap);
  va_end(ap);
  return rc;
}

const char *ox_str_content(ox_str *str) noexcept {
  if (str == nullptr) return ox__einval<const char *>(nullptr);
  return utstring_body(str->buf);
}

size_t ox_str_length(ox_str *str) noexcept {
  if (str == nullptr) return ox__einval<size_t>(0);
  return utstring_len(str->buf);
}

int ox_str_clear(ox_str *str) noexcept {
  if (str == nullptr) return EINVAL;
  utstring_clear(str->buf);
  return 0;
}
#pragma GCC diagnostic pop
