// Core utilities: the allocator's promises, error texts and entry point
// names.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ombrix.h"
#include "support/alloc_torture.h"

namespace {

TEST(OxAlloc, GivesZeroFilledBlocksAndUniqueEmptyOnes) {
  auto *block = static_cast<unsigned char *>(ox_alloc(64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0) << i;
  void *empty_a = ox_alloc(0);
  void *empty_b = ox_alloc(0);
  EXPECT_NE(empty_a, nullptr);
  EXPECT_NE(empty_a, empty_b);
  ox_free(empty_a);
  ox_free(empty_b);
  ox_free(block);
  ox_free(nullptr);
  ox_free(strdup("standard allocator"));
  ox_free(malloc(8));
}

TEST(OxRealloc, SizeZeroAndNullBehaveAsDocumented) {
  void *fresh = ox_realloc(nullptr, 0);
  ASSERT_NE(fresh, nullptr);
  auto *grown = static_cast<char *>(ox_realloc(fresh, 16));
  ASSERT_NE(grown, nullptr);
  memcpy(grown, "0123456789abcdef", 16);
  // Shrinking to 0 yields a usable block that replaces the old one.
  auto *shrunk = static_cast<char *>(ox_realloc(grown, 0));
  ASSERT_NE(shrunk, nullptr);
  EXPECT_EQ(shrunk[0], '0');
  ox_free(shrunk);
}

TEST(OxRealloc, FailureKeepsTheOldBlock) {
  auto *block = static_cast<char *>(ox_alloc(4));
  ASSERT_NE(block, nullptr);
  memcpy(block, "abc", 4);
  oxtest::alloc_arm(1);
  EXPECT_EQ(ox_realloc(block, 4096), nullptr);
  EXPECT_EQ(oxtest::alloc_disarm(), 1u);
  EXPECT_STREQ(block, "abc");  // still ours, still intact
  ox_free(block);
}

TEST(OxStrerror, WritesCutTerminatedTextsAndLeavesErrnoAlone) {
  char msg[256];
  errno = 4242;
  ASSERT_EQ(ox_strerror(ENOENT, msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "No such file or directory");
  ASSERT_EQ(ox_strerror(99999, msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "Unknown error 99999");
  memset(msg, 'x', sizeof msg);
  ASSERT_EQ(ox_strerror(ENOENT, msg, 3), 0);
  EXPECT_STREQ(msg, "No");
  EXPECT_EQ(msg[3], 'x');  // nothing written past |size|
  ASSERT_EQ(ox_strerror(ENOENT, msg, 1), 0);
  EXPECT_STREQ(msg, "");
  EXPECT_EQ(ox_strerror(ENOENT, nullptr, 8), EINVAL);
  EXPECT_EQ(ox_strerror(ENOENT, msg, 0), EINVAL);
  EXPECT_EQ(errno, 4242);
}

TEST(OxExtractEntrypoint, TakesTheFirstSegment) {
  const char *cases[][2] = {
      {"/r1/foo", "/r1"}, {"/r1", "/r1"}, {"/r1/", "/r1"},
      {"/", "/"},         {"", ""},       {"r1/x", "r1"},
      {"r1", "r1"},       {"//x", "/"},   {"/a/b/c", "/a"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    char *name = ox_extract_entrypoint(c[0]);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, c[1]);
    ox_free(name);
  }
}

TEST(OxExtractEntrypoint, FailsWithNullOrNoMemory) {
  errno = 0;
  EXPECT_EQ(ox_extract_entrypoint(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  oxtest::alloc_arm(1);
  EXPECT_EQ(ox_extract_entrypoint("/r1/foo"), nullptr);
  EXPECT_EQ(oxtest::alloc_disarm(), 1u);
}

}  // namespace
