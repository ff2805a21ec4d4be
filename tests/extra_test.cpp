// Deflate helpers, stream end codes and the adapters between string maps
// and libmicrohttpd.
#include <gtest/gtest.h>

#include <microhttpd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ombrix.h"
#include "ox_alloc.h"
#include "ox_extra.h"
#include "support/inflate.h"
#include "support/alloc_torture.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

std::string text_bytes(size_t n) {
  std::string s;
  while (s.size() < n) s += "the quick brown fox " + std::to_string(s.size());
  s.resize(n);
  return s;
}


// ox__zcompress into a buffer of compressBound() size.
int zcompress(const std::string &src, int level, std::string *out) {
  uLongf size = compressBound(src.size()) + 64;
  out->assign(size, '\0');
  int rc = ox__zcompress(
      reinterpret_cast<Bytef *>(const_cast<char *>(src.data())), src.size(),
      reinterpret_cast<Bytef *>(out->data()), &size, level);
  out->resize(size);
  return rc;
}

TEST(OxZcompress, OutputIsRawDeflateThatInflatesBack) {
  struct Case {
    const char *what;
    std::string src;
    int level;
  } cases[] = {
      {"empty", "", 6},
      {"one byte", "x", 6},
      {"nul bytes", std::string("a\0b\0\0c", 6), 1},
      {"text", text_bytes(300000), 9},
      {"incompressible", random_bytes(100000, 7), 6},
      {"default level", text_bytes(5000), Z_DEFAULT_COMPRESSION},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string z;
    ASSERT_EQ(zcompress(c.src, c.level, &z), 0);
    ASSERT_FALSE(z.empty());
    EXPECT_EQ(oxtest::raw_inflate(z).value_or("(not raw deflate)"), c.src);
    // No zlib header: a zlib-wrapped inflater refuses the bytes.
    z_stream zs{};
    ASSERT_EQ(inflateInit(&zs), Z_OK);
    std::string sink(c.src.size() + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(z.data());
    zs.avail_in = static_cast<uInt>(z.size());
    zs.next_out = reinterpret_cast<Bytef *>(sink.data());
    zs.avail_out = static_cast<uInt>(sink.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_DATA_ERROR);
    inflateEnd(&zs);
  }
}

TEST(OxZcompress, ZeroRoomIsBufErrorWithNothingWritten) {
  std::string src = text_bytes(1000);
  Bytef dest[8] = {0};
  uLongf size = 0;
  EXPECT_EQ(ox__zcompress(reinterpret_cast<Bytef *>(src.data()), src.size(),
                          dest, &size, 6),
            Z_BUF_ERROR);
  EXPECT_EQ(size, 0u);
}

TEST(OxZcompress, ShortRoomIsBufErrorWithAPrefixOfTheStream) {
  std::string src = random_bytes(4000, 3);
  std::string full;
  ASSERT_EQ(zcompress(src, 6, &full), 0);
  std::string dest(100, '\0');
  uLongf size = dest.size();
  EXPECT_EQ(ox__zcompress(reinterpret_cast<Bytef *>(src.data()), src.size(),
                          reinterpret_cast<Bytef *>(dest.data()), &size, 6),
            Z_BUF_ERROR);
  ASSERT_LE(size, 100u);
  EXPECT_EQ(dest.substr(0, size), full.substr(0, size));
}

TEST(OxZcompress, BadLevelIsStreamErrorAndSizeZero) {
  std::string src = "abc";
  Bytef dest[64];
  uLongf size = sizeof dest;
  EXPECT_EQ(ox__zcompress(reinterpret_cast<Bytef *>(src.data()), src.size(),
                          dest, &size, 10),
            Z_STREAM_ERROR);
  EXPECT_EQ(size, 0u);
}

TEST(OxZcompress, EachFailedAllocationIsMemErrorWithoutLeak) {
  std::string src = text_bytes(20000);
  unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
    std::string dest(compressBound(src.size()), '\0');
    uLongf size = dest.size();
    oxtest::alloc_arm(fail_at);
    int rc = ox__zcompress(reinterpret_cast<Bytef *>(src.data()), src.size(),
                           reinterpret_cast<Bytef *>(dest.data()), &size, 6);
    unsigned long calls = oxtest::alloc_disarm();
    if (fail_at == 0) {
      EXPECT_EQ(rc, 0);
    } else {
      EXPECT_EQ(rc, Z_MEM_ERROR);
      EXPECT_EQ(size, 0u);
    }
    return calls;
  });
  EXPECT_GT(count, 0u);  // zlib's state came from the library's allocator
}

TEST(OxZalloc, GivesCountedBlocksThatZfreeReleases) {
  ox__alloc_hooks_reset();
  auto *p = static_cast<unsigned char *>(ox__zalloc(nullptr, 16, 8));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(ox__alloc_calls(), 1u);
  memset(p, 0xab, 128);  // the whole product is usable
  ox__zfree(nullptr, p);
  ox__alloc_fail_at(1);
  EXPECT_EQ(ox__zalloc(nullptr, 16, 8), nullptr);
  ox__alloc_hooks_reset();
}

// A raw deflate stream on the library's allocator, ended on scope exit.
struct Deflater {
  z_stream zs{};
  int init_rc;
  Deflater() {
    zs.zalloc = ox__zalloc;
    zs.zfree = ox__zfree;
    init_rc = deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  }
  ~Deflater() { deflateEnd(&zs); }
  // Runs ox__zdeflate over |src| and appends the output to |out|.
  int piece(const std::string &src, int flush, std::string *out) {
    Bytef zbuf[ox__zchunk];
    Bytef *dest = reinterpret_cast<Bytef *>(1);  // must be overwritten
    z_size_t size = 12345;
    int rc = ox__zdeflate(
        &zs, zbuf, flush,
        reinterpret_cast<Bytef *>(const_cast<char *>(src.data())),
        static_cast<uInt>(src.size()), &dest, &size);
    if (rc == 0 && dest != nullptr)
      out->append(reinterpret_cast<char *>(dest), size);
    if (rc != 0) {
      EXPECT_EQ(dest, nullptr);
    }
    last_size = size;
    ox_free(dest);
    return rc;
  }
  z_size_t last_size = 0;
};

TEST(OxZdeflate, NoFlushHoldsSmallInputUntilFinish) {
  Deflater d;
  ASSERT_EQ(d.init_rc, Z_OK);
  std::string out;
  ASSERT_EQ(d.piece("hello, ", Z_NO_FLUSH, &out), 0);
  EXPECT_EQ(d.last_size, 0u);
  ASSERT_EQ(d.piece("world", Z_NO_FLUSH, &out), 0);
  EXPECT_EQ(out, "");
  // Nothing to do is no failure: the output so far must not be dropped.
  ASSERT_EQ(d.piece("", Z_NO_FLUSH, &out), 0);
  ASSERT_EQ(d.piece("", Z_SYNC_FLUSH, &out), 0);
  ASSERT_EQ(d.piece("", Z_SYNC_FLUSH, &out), 0);
  EXPECT_EQ(d.last_size, 0u);
  ASSERT_EQ(d.piece("", Z_FINISH, &out), 0);
  EXPECT_EQ(oxtest::raw_inflate(out).value_or("(not raw deflate)"),
            "hello, world");
}

TEST(OxZdeflate, OutputOverOneChunkComesWholeAndInOrder) {
  Deflater d;
  ASSERT_EQ(d.init_rc, Z_OK);
  std::string a = random_bytes(70000, 1), b = random_bytes(50000, 2);
  std::string out;
  ASSERT_EQ(d.piece(a, Z_NO_FLUSH, &out), 0);
  ASSERT_EQ(d.piece(b, Z_FINISH, &out), 0);
  EXPECT_GT(d.last_size, ox__zchunk);  // several chunks in one call
  EXPECT_EQ(oxtest::raw_inflate(out).value_or("(not raw deflate)"), a + b);
}

TEST(OxZdeflate, ZlibErrorReleasesOutputAndIsReturned) {
  z_stream never_initialised{};
  Bytef zbuf[ox__zchunk];
  Bytef src[4] = {1, 2, 3, 4};
  Bytef *dest = nullptr;
  z_size_t size = 0;
  EXPECT_EQ(ox__zdeflate(&never_initialised, zbuf, Z_FINISH, src, 4, &dest,
                         &size),
            Z_STREAM_ERROR);
  EXPECT_EQ(dest, nullptr);
}

TEST(OxZdeflate, FailedGrowthIsEnomemWithoutLeak) {
  std::string src = random_bytes(60000, 5);  // four chunks of output
  unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
    Deflater d;
    EXPECT_EQ(d.init_rc, Z_OK);
    std::string out;
    oxtest::alloc_arm(fail_at);
    int rc = d.piece(src, Z_FINISH, &out);
    unsigned long calls = oxtest::alloc_disarm();
    EXPECT_EQ(rc, fail_at == 0 ? 0 : ENOMEM);
    return calls;
  });
  EXPECT_GE(count, 4u);
}

TEST(OxEor, GivesTheDaemonEndCodes) {
  EXPECT_EQ(ox_eor(false), MHD_CONTENT_READER_END_OF_STREAM);
  EXPECT_EQ(ox_eor(true), MHD_CONTENT_READER_END_WITH_ERROR);
  EXPECT_EQ(ox_eor(false), -1);
  EXPECT_EQ(ox_eor(true), -2);
}

TEST(OxStrmapIter, CopiesEveryPairOntoAResponseDespiteARefusal) {
  MHD_Response *resp =
      MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  ASSERT_NE(resp, nullptr);
  ox_strmap *map = nullptr;
  ASSERT_EQ(ox_strmap_add(&map, "X-First", "one"), 0);
  ASSERT_EQ(ox_strmap_add(&map, "X-Broken", "bad\r\nX-Injected: 1"), 0);
  ASSERT_EQ(ox_strmap_add(&map, "X-Second", "two"), 0);
  EXPECT_EQ(ox_strmap_iter(map, ox__strmap_iter, resp), 0);
  const char *first = MHD_get_response_header(resp, "X-First");
  const char *second = MHD_get_response_header(resp, "X-Second");
  EXPECT_STREQ(first, "one");
  EXPECT_STREQ(second, "two");
  EXPECT_EQ(MHD_get_response_header(resp, "X-Broken"), nullptr);
  EXPECT_EQ(MHD_get_response_header(resp, "X-Injected"), nullptr);
  ox_strmap_cleanup(&map);
  MHD_destroy_response(resp);
}

TEST(OxConvalsIter, AddsPairsAndAlwaysGoesOn) {
  ox_strmap *map = nullptr;
  EXPECT_EQ(ox__convals_iter(&map, MHD_HEADER_KIND, "Host", "example"),
            MHD_YES);
  EXPECT_EQ(ox__convals_iter(&map, MHD_GET_ARGUMENT_KIND, "flag", nullptr),
            MHD_YES);
  // A failing add (NULL key, then no memory) still lets the daemon go on.
  EXPECT_EQ(ox__convals_iter(&map, MHD_HEADER_KIND, nullptr, "x"), MHD_YES);
  oxtest::alloc_arm(1);
  EXPECT_EQ(ox__convals_iter(&map, MHD_COOKIE_KIND, "lost", "v"), MHD_YES);
  oxtest::alloc_disarm();
  EXPECT_EQ(ox_strmap_count(map), 2u);
  EXPECT_STREQ(ox_strmap_get(map, "host"), "example");
  EXPECT_STREQ(ox_strmap_get(map, "flag"), "");
  EXPECT_EQ(ox_strmap_get(map, "lost"), nullptr);
  ox_strmap_cleanup(&map);
}

}  // namespace
