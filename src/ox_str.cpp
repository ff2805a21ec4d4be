// String buffer: a handle over a UT_string whose growth failures come back
// as ENOMEM instead of ending the program.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"

namespace {

// utstring calls utstring_oom() when its malloc or realloc fails, before it
// stores the failed pointer; throwing there leaves the UT_string untouched.
struct str_oom {};

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

// The formatted append: one vsnprintf into the free room, and when the text
// did not fit, one growth by its length + 1 and a second pass.
__attribute__((format(printf, 2, 0))) int str_format(UT_string *s,
                                                     const char *fmt,
                                                     va_list ap) {
  int failures = 0;
  for (;;) {
    va_list copy;
    va_copy(copy, ap);
    int r = vsnprintf(&s->d[s->i], s->n - s->i, fmt, copy);
    va_end(copy);
    if (r >= 0 && static_cast<size_t>(r) < s->n - s->i) {
      s->i += static_cast<size_t>(r);
      return 0;
    }
    // A failed pass may have written over the terminator.
    s->d[s->i] = '\0';
    if (r >= 0) {
      utstring_reserve(s, static_cast<size_t>(r) + 1);
    } else if (++failures > str_format_retries) {
      return EOVERFLOW;
    } else {
      utstring_reserve(s, s->n * 2);
    }
  }
}

__attribute__((format(printf, 2, 0))) int str_printf(ox_str *str,
                                                     const char *fmt,
                                                     va_list ap) noexcept {
  ox__errno_guard keep;
  try {
    return str_format(str->buf, fmt, ap);
  } catch (const str_oom &) {
    str->buf->d[str->buf->i] = '\0';
    return ENOMEM;
  }
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
