// The rules behind static files and negotiated replies, without a server:
// byte ranges, the order of the conditional headers, HTTP dates,
// Accept-Encoding, the MIME table, and lookups that allocate nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "ombrix.h"
#include "ox_httpcond.h"
#include "ox_httpenc.h"
#include "ox_mime.h"
#include "support/alloc_torture.h"
#include "support/count_malloc.h"

namespace {

// A 1000-byte file last modified at 784111777 (Sun, 06 Nov 1994 08:49:37).
ox__validators file_validators() {
  struct stat st{};
  st.st_size = 1000;
  st.st_mtim.tv_sec = 784111777;
  st.st_mtim.tv_nsec = 5;
  ox__validators v;
  ox__validators_of(st, &v);
  return v;
}

std::string range_outcome(const char *header, uint64_t size) {
  ox__range r{};
  switch (ox__range_parse(header, size, &r)) {
    case ox__range_kind::partial:
      return std::to_string(r.first) + "-" + std::to_string(r.last);
    case ox__range_kind::unsatisfiable: return "416";
    default: return "whole";
  }
}

TEST(OxHttpcond, SingleByteRangesAndWhatIsServedWhole) {
  struct {
    const char *header;
    uint64_t size;
    const char *outcome;
  } cases[] = {
      {"bytes=0-0", 10, "0-0"},
      {"bytes=2-5", 10, "2-5"},
      {"bytes=5-", 10, "5-9"},
      {"bytes=5-100", 10, "5-9"},
      {"bytes=-3", 10, "7-9"},
      {"bytes=-30", 10, "0-9"},
      {"BYTES= 1-2 ", 10, "1-2"},
      {"bytes=9-9", 10, "9-9"},
      {"bytes=10-", 10, "416"},
      {"bytes=10-20", 10, "416"},
      {"bytes=-0", 10, "416"},
      {"bytes=0-", 0, "416"},
      {"bytes=-1", 0, "416"},
      {"bytes=99999999999999999999999-", 10, "416"},
      {"bytes=0-99999999999999999999999", 10, "0-9"},
      {"bytes=-99999999999999999999999", 10, "0-9"},
      {"bytes=5-2", 10, "whole"},
      {"bytes=0-1,3-4", 10, "whole"},
      {"bytes=", 10, "whole"},
      {"bytes=-", 10, "whole"},
      {"bytes=a-b", 10, "whole"},
      {"bytes=1-2x", 10, "whole"},
      {"bytes=+1-2", 10, "whole"},
      {"items=0-1", 10, "whole"},
      {"", 10, "whole"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(range_outcome(c.header, c.size), c.outcome);
  }
}

TEST(OxHttpcond, ConditionalHeadersApplyInHttpsOrder) {
  ox__validators v = file_validators();
  const std::string etag = v.etag;
  const std::string gz = etag.substr(0, etag.size() - 1) + "-gz\"";
  const char *lm = "Sun, 06 Nov 1994 08:49:37 GMT";
  const char *later = "Sun, 06 Nov 1994 08:49:38 GMT";
  const char *earlier = "Sun, 06 Nov 1994 08:49:36 GMT";
  const std::string weak = "W/" + etag, list = "\"x\", " + weak;
  struct {
    const char *method;
    const char *inm, *ims, *range, *if_range;
    const char *outcome;
  } cases[] = {
      {"GET", nullptr, nullptr, nullptr, nullptr, "full"},
      {"GET", etag.c_str(), nullptr, nullptr, nullptr, "304"},
      {"GET", gz.c_str(), nullptr, nullptr, nullptr, "304"},
      {"HEAD", list.c_str(), nullptr, nullptr, nullptr, "304"},
      {"GET", "*", nullptr, nullptr, nullptr, "304"},
      {"GET", "\"other\"", nullptr, nullptr, nullptr, "full"},
      {"GET", "\"unterminated", nullptr, nullptr, nullptr, "full"},
      // If-None-Match present: If-Modified-Since is not looked at.
      {"GET", "\"other\"", later, nullptr, nullptr, "full"},
      {"GET", nullptr, lm, nullptr, nullptr, "304"},
      {"GET", nullptr, later, nullptr, nullptr, "304"},
      {"GET", nullptr, earlier, nullptr, nullptr, "full"},
      {"GET", nullptr, "yesterday", nullptr, nullptr, "full"},
      {"POST", etag.c_str(), nullptr, "bytes=0-1", nullptr, "full"},
      {"GET", nullptr, nullptr, "bytes=0-1", nullptr, "partial"},
      {"HEAD", nullptr, nullptr, "bytes=0-1", nullptr, "full"},
      {"GET", nullptr, nullptr, "bytes=1000-", nullptr, "416"},
      {"GET", nullptr, nullptr, "bytes=0-1", etag.c_str(), "partial"},
      {"GET", nullptr, nullptr, "bytes=0-1", weak.c_str(), "full"},
      {"GET", nullptr, nullptr, "bytes=0-1", "\"old\"", "full"},
      {"GET", nullptr, nullptr, "bytes=0-1", lm, "partial"},
      {"GET", nullptr, nullptr, "bytes=0-1", later, "full"},
      {"GET", nullptr, nullptr, "bytes=0-1", "garbage", "full"},
      {"GET", "\"other\"", earlier, "bytes=3-4", etag.c_str(), "partial"},
  };
  const char *names[] = {"full", "304", "partial", "416"};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " inm=" + (c.inm ? c.inm : "-") +
                 " ims=" + (c.ims ? c.ims : "-") + " range=" +
                 (c.range ? c.range : "-") + " if-range=" +
                 (c.if_range ? c.if_range : "-"));
    std::string m = c.method;
    ox__cond_request req{m == "GET" || m == "HEAD", m == "HEAD", c.inm, c.ims,
                         c.range, c.if_range};
    ox__range r{};
    EXPECT_STREQ(names[static_cast<int>(ox__cond_evaluate(req, v, &r))],
                 c.outcome);
  }
}

TEST(OxHttpcond, DatesRoundTripAndOtherFormsAreRefused) {
  char text[30];
  ox__httpdate_format(784111777, text);
  EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");
  time_t t = 0;
  ASSERT_TRUE(ox__httpdate_parse(text, &t));
  EXPECT_EQ(t, 784111777);
  ASSERT_TRUE(ox__httpdate_parse("Thu, 01 Jan 1970 00:00:00 GMT", &t));
  EXPECT_EQ(t, 0);
  ASSERT_TRUE(ox__httpdate_parse("Tue, 29 Feb 2000 23:59:59 GMT", &t));
  EXPECT_EQ(t, 951868799);
  for (const char *bad :
       {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
        "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 6 Nov 1994 08:49:37 GMT",
        "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Xyz 1994 08:49:37 GMT",
        "Sun, 06 Nov 1994 08:49:37 GMT trailing", "", "Sun"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ox__httpdate_parse(bad, &t));
  }
}

TEST(OxHttpenc, AcceptEncodingNegotiation) {
  struct {
    const char *header;
    bool gzip;
  } cases[] = {
      {"gzip", true},
      {"deflate, gzip, br, zstd", true},
      {"GZIP", true},
      {"x-gzip", true},
      {"gzip;q=0.5", true},
      {" gzip ; q=1.000 ", true},
      {"*", true},
      {"br, *;q=0.1", true},
      {"gzip;q=0", false},
      {"gzip;q=0.000", false},
      {"gzip;q=0, *", false},
      {"*;q=0", false},
      {"br, deflate", false},
      {"identity", false},
      {"gzip;q=0.5, identity;q=0.9", false},
      {"gzip;q=0.9, identity;q=0.5", true},
      {"gzip;q=2", false},
      {"gzip;q=abc", false},
      {"gzip;q=0.5000", false},
      {"gzip;q", false},
      {"gzipx", false},
      {",,, ;;;", false},
      {"", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(ox__accept_gzip(c.header), c.gzip);
  }
  EXPECT_FALSE(ox__accept_gzip(nullptr));
}

TEST(OxMime, CommonTypesInAnyCaseAndTheDefault) {
  struct {
    const char *path, *type;
  } cases[] = {
      {"a.html", "text/html; charset=utf-8"},
      {"/x/INDEX.HTM", "text/html; charset=utf-8"},
      {"s.css", "text/css; charset=utf-8"},
      {"m.mjs", "text/javascript; charset=utf-8"},
      {"d.json", "application/json"},
      {"a.js.map", "application/json"},
      {"r.md", "text/markdown; charset=utf-8"},
      {"p.Png", "image/png"},
      {"p.jpeg", "image/jpeg"},
      {"p.avif", "image/avif"},
      {"f.woff2", "font/woff2"},
      {"w.wasm", "application/wasm"},
      {"v.webm", "video/webm"},
      {"z.zip", "application/zip"},
      {"a.7z", "application/x-7z-compressed"},
      {"z.zst", "application/zstd"},
      {"noext", "application/octet-stream"},
      {".bashrc", "application/octet-stream"},
      {"dir.html/file", "application/octet-stream"},
      {"trailing.", "application/octet-stream"},
      {"x.unknownext", "application/octet-stream"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(ox__mime_of(nullptr, c.path), c.type);
  }
  EXPECT_TRUE(ox__mime_compressible("text/html; charset=utf-8"));
  EXPECT_TRUE(ox__mime_compressible("image/svg+xml"));
  EXPECT_TRUE(ox__mime_compressible("application/json"));
  EXPECT_FALSE(ox__mime_compressible("application/jsonx"));
  EXPECT_FALSE(ox__mime_compressible("image/png"));
  EXPECT_FALSE(ox__mime_compressible("font/woff2"));
  EXPECT_FALSE(ox__mime_compressible(nullptr));
}

TEST(OxMime, ProgramTypesWinAndAreCheckedWhenSet) {
  ox_httpsrv *srv = ox_httpsrv_new(nullptr, nullptr);
  ASSERT_NE(srv, nullptr);
  EXPECT_EQ(ox_httpsrv_set_mime(srv, ".MD", "text/x-markdown"), 0);
  EXPECT_EQ(ox_httpsrv_set_mime(srv, "Custom", "application/x-custom"), 0);
  EXPECT_STREQ(ox_httpsrv_mime(srv, "notes.md"), "text/x-markdown");
  EXPECT_STREQ(ox_httpsrv_mime(srv, "a.CUSTOM"), "application/x-custom");
  EXPECT_STREQ(ox_httpsrv_mime(srv, "a.css"), "text/css; charset=utf-8");
  for (const char *bad : {"", ".", "a/b", "a.b", "sixteen-bytes-xx"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ox_httpsrv_set_mime(srv, bad, "x/y"), EINVAL);
  }
  EXPECT_EQ(ox_httpsrv_set_mime(srv, "x", ""), EINVAL);
  EXPECT_EQ(ox_httpsrv_set_compression(srv, 10), EINVAL);
  EXPECT_EQ(ox_httpsrv_set_compression(srv, -1), EINVAL);
  errno = 0;
  EXPECT_EQ(ox_httpsrv_mime(nullptr, "a.txt"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  ox_httpsrv_free(srv);
}

TEST(OxHttpcond, NegotiationAndMimeLookupAllocateNothing) {
  ox_httpsrv *srv = ox_httpsrv_new(nullptr, nullptr);
  ASSERT_EQ(ox_httpsrv_set_mime(srv, "md", "text/x-markdown"), 0);
  ox__validators v = file_validators();
  ox__cond_request req{true, false, "\"a\", W/\"b\"",
                       "Sun, 06 Nov 1994 08:49:37 GMT", "bytes=-100",
                       v.etag};
  int hits = 0;
  ox__alloc_hooks_reset();
#ifdef OX_TEST_COUNT_MALLOC
  unsigned long std_before = std_alloc_calls.load();
#endif
  for (int round = 0; round < 3; ++round) {
    ox__range r;
    hits += ox__cond_evaluate(req, v, &r) == ox__cond::partial;
    hits += ox__accept_gzip("deflate, gzip;q=0.8, br, *;q=0.1");
    hits += ox_httpsrv_mime(srv, "/a/b/README.MD")[0] == 't';
    hits += ox_httpsrv_mime(srv, "/a/b/c.woff2")[0] == 'f';
  }
#ifdef OX_TEST_COUNT_MALLOC
  EXPECT_EQ(std_alloc_calls.load() - std_before, 0u);
#endif
  EXPECT_EQ(ox__alloc_calls(), 0u);
  EXPECT_EQ(hits, 12);
  ox_httpsrv_free(srv);
}

}  // namespace
