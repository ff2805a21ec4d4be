// String buffer: growth arithmetic, raw bytes, formatter failures, and a
// buffer left exactly as it was when memory runs out.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "ombrix.h"
#include "ox_str.h"
#include "support/alloc_torture.h"

namespace {

struct str_free {
  void operator()(ox_str *s) const noexcept { ox_str_free(s); }
};
using str_ptr = std::unique_ptr<ox_str, str_free>;

str_ptr NewStr() {
  str_ptr s{ox_str_new()};
  EXPECT_NE(s, nullptr);
  return s;
}

std::string Content(ox_str *s) {
  return std::string(ox_str_content(s), ox_str_length(s));
}

// "capacity/length", the two numbers every growth rule is about.
std::string Shape(ox_str *s) {
  return std::to_string(s->buf->n) + "/" + std::to_string(ox_str_length(s));
}

TEST(OxStr, NewBufferIsEmptyWithRoomForAHundredBytes) {
  str_ptr s = NewStr();
  ASSERT_NE(ox_str_content(s.get()), nullptr);
  EXPECT_STREQ(ox_str_content(s.get()), "");
  EXPECT_EQ(Shape(s.get()), "100/0");
}

TEST(OxStr, GrowsByExactlyWhatAnAppendNeeds) {
  struct Case {
    const char *name;
    std::vector<size_t> writes;  // raw writes of that many bytes, in order
    size_t printf_len;           // then one formatted append (0: none)
    const char *shape;
  };
  const Case cases[] = {
      {"write 99 fits", {99}, 0, "100/99"},
      {"write 100 grows", {100}, 0, "201/100"},
      {"write 5 after 99", {99, 5}, 0, "106/104"},
      {"printf 99 fits", {}, 99, "100/99"},
      {"printf 100 takes a second pass", {}, 100, "201/100"},
      {"printf 5 after 99", {99}, 5, "106/104"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    str_ptr s = NewStr();
    std::string expect;
    for (size_t len : c.writes) {
      std::string bytes(len, static_cast<char>('a' + expect.size() % 26));
      ASSERT_EQ(ox_str_write(s.get(), bytes.data(), bytes.size()), 0);
      expect += bytes;
    }
    if (c.printf_len != 0) {
      std::string text(c.printf_len, 'f');
      ASSERT_EQ(ox_str_printf(s.get(), "%s", text.c_str()), 0);
      expect += text;
    }
    EXPECT_EQ(Shape(s.get()), c.shape);
    EXPECT_EQ(Content(s.get()), expect);
    EXPECT_EQ(ox_str_content(s.get())[expect.size()], '\0');
  }
}

TEST(OxStr, WriteKeepsEmbeddedNulBytes) {
  str_ptr s = NewStr();
  ASSERT_EQ(ox_str_write(s.get(), "a\0b", 3), 0);
  ASSERT_EQ(ox_str_write(s.get(), "\0", 1), 0);
  ASSERT_EQ(ox_str_length(s.get()), 4u);
  EXPECT_EQ(memcmp(ox_str_content(s.get()), "a\0b\0\0", 5), 0);
}

TEST(OxStr, WriteAndPrintfConcatenate) {
  str_ptr s = NewStr();
  ASSERT_EQ(ox_str_write(s.get(), "Hello", 5), 0);
  ASSERT_EQ(ox_str_printf(s.get(), " %s%c", "world", '!'), 0);
  ASSERT_EQ(ox_str_printf(s.get(), "%s", ""), 0);
  EXPECT_EQ(Content(s.get()), "Hello world!");
}

TEST(OxStr, WriteOfItsOwnContentSurvivesTheMove) {
  // The source lies in the storage that the growth reallocates.
  str_ptr s = NewStr();
  std::string half(99, 'h');
  ASSERT_EQ(ox_str_write(s.get(), half.data(), half.size()), 0);
  ASSERT_EQ(ox_str_write(s.get(), ox_str_content(s.get()), 99), 0);
  EXPECT_EQ(Content(s.get()), half + half);
}

TEST(OxStr, ClearEmptiesButKeepsStorageAndCapacity) {
  str_ptr s = NewStr();
  std::string text(150, 'c');
  ASSERT_EQ(ox_str_write(s.get(), text.data(), text.size()), 0);
  const char *before = ox_str_content(s.get());
  ASSERT_EQ(ox_str_clear(s.get()), 0);
  EXPECT_EQ(ox_str_content(s.get()), before);
  EXPECT_STREQ(before, "");
  EXPECT_EQ(Shape(s.get()), "251/0");
  ASSERT_EQ(ox_str_write(s.get(), "xy", 2), 0);
  EXPECT_EQ(Content(s.get()), "xy");
}

int PrintfVaTwice(ox_str *s, const char *fmt, ...) OX_PRINTF(2, 3);
int PrintfVaTwice(ox_str *s, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = ox_str_printf_va(s, fmt, ap);
  if (rc == 0) rc = ox_str_printf_va(s, fmt, ap);
  va_end(ap);
  return rc;
}

TEST(OxStr, PrintfVaLeavesTheCallersListUnconsumed) {
  str_ptr s = NewStr();
  std::string long_arg(120, 'L');  // forces the second formatting pass
  ASSERT_EQ(PrintfVaTwice(s.get(), "<%s|%d>", long_arg.c_str(), 7), 0);
  std::string one = "<" + long_arg + "|7>";
  EXPECT_EQ(Content(s.get()), one + one);
}

TEST(OxStr, RefusesBadArgumentsAndSetsErrnoOnlyInGetters) {
  str_ptr s = NewStr();
  ASSERT_EQ(ox_str_write(s.get(), "keep", 4), 0);
  errno = 4242;
  EXPECT_EQ(ox_str_write(nullptr, "x", 1), EINVAL);
  EXPECT_EQ(ox_str_write(s.get(), nullptr, 1), EINVAL);
  EXPECT_EQ(ox_str_write(s.get(), "x", 0), EINVAL);
  EXPECT_EQ(ox_str_printf(nullptr, "x"), EINVAL);
  EXPECT_EQ(ox_str_printf(s.get(), nullptr), EINVAL);
  EXPECT_EQ(ox_str_clear(nullptr), EINVAL);
  EXPECT_EQ(ox_str_printf(s.get(), "%s", ""), 0);
  EXPECT_EQ(ox_str_length(s.get()), 4u);
  EXPECT_EQ(errno, 4242);
  EXPECT_EQ(Content(s.get()), "keep");
  ox_str_free(nullptr);

  EXPECT_EQ(ox_str_content(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_str_length(nullptr), 0u);
  EXPECT_EQ(errno, EINVAL);
}

TEST(OxStr, FormatterErrorIsBoundedAndKeepsContent) {
  // Neither failure heals with more room: the append must give up, not
  // triple the capacity forever.
  const wchar_t bad_wide[] = {static_cast<wchar_t>(0x110000), 0};
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "%ls of an invalid wide char"
                            : "width > INT_MAX");
    str_ptr s = NewStr();
    ASSERT_EQ(ox_str_write(s.get(), "keep", 4), 0);
    errno = 4242;
#pragma GCC diagnostic push
#if defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat"  // the point of the case
#else
#pragma GCC diagnostic ignored "-Wformat-overflow"
#endif
    int rc = which == 0 ? ox_str_printf(s.get(), "%ls", bad_wide)
                        : ox_str_printf(s.get(), "%2147483648d", 1);
#pragma GCC diagnostic pop
    EXPECT_EQ(rc, EOVERFLOW);
    EXPECT_EQ(errno, 4242);
    EXPECT_EQ(Content(s.get()), "keep");
    EXPECT_EQ(ox_str_content(s.get())[4], '\0');
    EXPECT_LE(s->buf->n, 900u);  // at most two doublings of the room
  }
}

TEST(OxStr, PrintfOfItsOwnContentSurvivesGrowth) {
  // The second formatting pass used to read the block the growth freed.
  for (size_t len : {10u, 60u, 99u, 500u}) {
    SCOPED_TRACE(len);
    str_ptr s = NewStr();
    std::string start(len, 'c');
    ASSERT_EQ(ox_str_write(s.get(), start.data(), start.size()), 0);
    const char *own = ox_str_content(s.get());
    ASSERT_EQ(ox_str_printf(s.get(), "[%s|%s]", own, own), 0);
    EXPECT_EQ(Content(s.get()), start + "[" + start + "|" + start + "]");
  }
}

TEST(OxStr, WriteOfAnUnrepresentableSizeIsRefused) {
  str_ptr s = NewStr();
  ASSERT_EQ(ox_str_write(s.get(), "keep", 4), 0);
  EXPECT_EQ(ox_str_write(s.get(), "x", SIZE_MAX), ENOMEM);
  EXPECT_EQ(ox_str_write(s.get(), "x", SIZE_MAX - 100), ENOMEM);
  EXPECT_EQ(Shape(s.get()), "100/4");
}

TEST(OxStr, NewFailsCleanlyAtEachAllocation) {
  unsigned long count = oxtest::alloc_torture([](unsigned long fail_at) {
    oxtest::alloc_arm(fail_at);
    ox_str *s = ox_str_new();
    unsigned long calls = oxtest::alloc_disarm();
    EXPECT_EQ(s == nullptr, fail_at != 0);
    ox_str_free(s);  // ASan reports what a failed new left behind
    return calls;
  });
  EXPECT_EQ(count, 3u);  // handle, body record, body
}

TEST(OxStr, FailedGrowthLeavesTheBufferAsItWas) {
  for (int use_printf = 0; use_printf < 2; ++use_printf) {
    SCOPED_TRACE(use_printf ? "printf" : "write");
    unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
      str_ptr s = NewStr();
      std::string start(99, 's');
      EXPECT_EQ(ox_str_write(s.get(), start.data(), start.size()), 0);
      const char *storage = ox_str_content(s.get());
      std::string more(150, 'm');
      errno = 4242;
      oxtest::alloc_arm(fail_at);
      int rc = use_printf ? ox_str_printf(s.get(), "%s", more.c_str())
                          : ox_str_write(s.get(), more.data(), more.size());
      unsigned long calls = oxtest::alloc_disarm();
      EXPECT_EQ(errno, 4242);
      if (fail_at == 0) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(Content(s.get()), start + more);
      } else {
        EXPECT_EQ(rc, ENOMEM);
        EXPECT_EQ(ox_str_content(s.get()), storage);
        EXPECT_EQ(Shape(s.get()), "100/99");
        EXPECT_EQ(Content(s.get()), start);
        EXPECT_EQ(storage[99], '\0');
        // Still usable afterwards.
        EXPECT_EQ(ox_str_write(s.get(), "!", 1), 0);
        EXPECT_EQ(Content(s.get()), start + "!");
      }
      return calls;
    });
    EXPECT_EQ(count, 1u);
  }
}

}  // namespace
