// The rules behind static files and negotiated replies, without a server:
// byte ranges, the order of the conditional headers, HTTP dates,
// Accept-Encoding, the MIME table, and lookups that allocate nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <map>
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

// The outcome of a |method| request for file_validators() with |headers|
// ("Name: value" lines), a full reply carrying the gzip variant when
// |gzip|: "full", "304", "206 <first>-<last>", "416" or "412".
std::string cond_outcome(const std::string &method, const std::string &headers,
                         bool gzip) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find('\n', start);
    if (end == std::string::npos) end = headers.size();
    std::string line = headers.substr(start, end - start);
    size_t colon = line.find(": ");
    fields[line.substr(0, colon)] = line.substr(colon + 2);
    start = end + 1;
  }
  auto field = [&](const char *name) {
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : it->second.c_str();
  };
  ox__cond_request req{method == "GET" || method == "HEAD",
                       method == "HEAD",
                       field("If-Match"),
                       field("If-Unmodified-Since"),
                       field("If-None-Match"),
                       field("If-Modified-Since"),
                       field("Range"),
                       field("If-Range")};
  ox__validators v = file_validators();
  char gz[sizeof(v.etag) + 4];
  ox__etag_gzip(v.etag, gz);
  ox__range r{};
  switch (ox__cond_evaluate(req, v, gzip ? gz : v.etag, &r)) {
    case ox__cond::full: return "full";
    case ox__cond::not_modified: return "304";
    case ox__cond::partial:
      return "206 " + std::to_string(r.first) + "-" + std::to_string(r.last);
    case ox__cond::unsatisfiable: return "416";
    case ox__cond::precondition_failed: return "412";
  }
  return "?";
}

TEST(OxHttpcond, ConditionalHeadersApplyInHttpsOrder) {
  ox__validators v = file_validators();
  const std::string etag = v.etag;
  const std::string gz = etag.substr(0, etag.size() - 1) + "-gz\"";
  const std::string lm = "Sun, 06 Nov 1994 08:49:37 GMT";
  const std::string later = "Sun, 06 Nov 1994 08:49:38 GMT";
  const std::string earlier = "Sun, 06 Nov 1994 08:49:36 GMT";
  const std::string weak = "W/" + etag;
  struct {
    const char *method;
    std::string headers;
    const char *outcome;
    bool gzip = false;  // the full reply would carry the gzip variant
  } cases[] = {
      {"GET", "", "full"},
      {"GET", "If-None-Match: " + etag, "304"},
      {"HEAD", "If-None-Match: \"x\", " + weak, "304"},
      {"GET", "If-None-Match: *", "304"},
      {"GET", "If-None-Match: \"other\"", "full"},
      {"GET", "If-None-Match: \"unterminated", "full"},
      // Only the tag of the variant that would be sent revalidates.
      {"GET", "If-None-Match: " + gz, "full"},
      {"GET", "If-None-Match: " + gz, "304", true},
      {"GET", "If-None-Match: " + etag, "full", true},
      // If-None-Match present: If-Modified-Since is not looked at.
      {"GET", "If-None-Match: \"other\"\nIf-Modified-Since: " + later, "full"},
      {"GET", "If-Modified-Since: " + lm, "304"},
      {"GET", "If-Modified-Since: " + later, "304"},
      {"GET", "If-Modified-Since: Sun Nov  6 08:49:37 1994", "304"},
      {"GET", "If-Modified-Since: " + earlier, "full"},
      {"GET", "If-Modified-Since: yesterday", "full"},
      // Preconditions come first, and If-Match hides If-Unmodified-Since.
      {"GET", "If-Match: \"nope\"", "412"},
      {"HEAD", "If-Match: \"nope\"", "412"},
      {"GET", "If-Match: garbage", "412"},
      {"GET", "If-Match: " + weak, "412"},
      {"GET", "If-Match: " + gz, "412"},
      {"GET", "If-Match: " + gz, "full", true},
      {"GET", "If-Match: " + etag, "full"},
      {"GET", "If-Match: *", "full"},
      {"GET", "If-Match: " + etag + "\nIf-Unmodified-Since: " + earlier,
       "full"},
      {"GET", "If-Unmodified-Since: " + earlier, "412"},
      {"GET", "If-Unmodified-Since: " + lm, "full"},
      {"GET", "If-Unmodified-Since: Sun, 06 Nov 1994", "full"},
      {"GET", "If-Match: \"nope\"\nIf-None-Match: " + etag, "412"},
      {"GET", "If-Unmodified-Since: " + earlier + "\nIf-None-Match: *", "412"},
      {"GET", "If-Match: *\nIf-None-Match: *", "304"},
      {"GET", "If-Match: " + etag + "\nIf-None-Match: " + etag, "304"},
      {"GET", "If-Match: \"nope\"\nRange: bytes=0-1", "412"},
      {"POST", "If-Match: \"nope\"", "full"},
      {"POST", "If-None-Match: " + etag + "\nRange: bytes=0-1", "full"},
      // Ranges, for GET only, of the identity bytes under If-Range.
      {"GET", "Range: bytes=0-1", "206 0-1"},
      {"HEAD", "Range: bytes=0-1", "full"},
      {"GET", "Range: bytes=1000-", "416"},
      {"GET", "Range: bytes=0-1\nIf-Range: " + etag, "206 0-1"},
      {"GET", "Range: bytes=0-1\nIf-Range: " + etag, "206 0-1", true},
      {"GET", "Range: bytes=0-1\nIf-Range: " + gz, "full", true},
      {"GET", "Range: bytes=0-1\nIf-Range: " + weak, "full"},
      {"GET", "Range: bytes=0-1\nIf-Range: \"old\"", "full"},
      {"GET", "Range: bytes=0-1\nIf-Range: " + lm, "206 0-1"},
      {"GET", "Range: bytes=0-1\nIf-Range: " + later, "full"},
      {"GET", "Range: bytes=0-1\nIf-Range: garbage", "full"},
      {"GET",
       "If-Match: " + etag + "\nIf-None-Match: \"other\"\nIf-Modified-Since: " +
           earlier + "\nRange: bytes=3-4\nIf-Range: " + etag,
       "206 3-4"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + (c.gzip ? " gzip\n" : "\n") +
                 c.headers);
    EXPECT_EQ(cond_outcome(c.method, c.headers, c.gzip), c.outcome);
  }
}

TEST(OxHttpcond, EntityTagListsCompareWeakOrStrong) {
  struct {
    const char *list;
    bool weak, strong;
  } cases[] = {
      {"\"abc\"", true, true},
      {"W/\"abc\"", true, false},
      {"\"x\",\"abc\"", true, true},
      {" \t\"x\" \t, \t\"abc\" \t", true, true},
      {"\"x\", , \"abc\"", true, true},
      {",, \"abc\" ,,", true, true},
      {", \t, W/\"abc\"", true, false},
      {"*", true, true},
      {" * ", true, true},
      {"*, \"abc\"", false, false},
      {"", false, false},
      {" , ,\t", false, false},
      {"\"x\"", false, false},
      {"\"ABC\"", false, false},
      {"\"abc-gz\"", false, false},
      {"\"abc", false, false},
      {"abc", false, false},
      {"w/\"abc\"", false, false},
      {"W/ \"abc\"", false, false},
      {"\"x\" \"abc\"", false, false},
      {"\"a b\", \"abc\"", false, false},
      {"\"abc\"x", false, false},
      {"\"abc\", junk", false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(ox__etag_list_matches(c.list, "\"abc\"", ox__etag_cmp::weak),
              c.weak);
    EXPECT_EQ(ox__etag_list_matches(c.list, "\"abc\"", ox__etag_cmp::strong),
              c.strong);
  }
  // A weak tag of our own only ever matches weakly.
  EXPECT_TRUE(
      ox__etag_list_matches("\"abc\"", "W/\"abc\"", ox__etag_cmp::weak));
  EXPECT_FALSE(
      ox__etag_list_matches("\"abc\"", "W/\"abc\"", ox__etag_cmp::strong));
}

TEST(OxHttpcond, DatesInAllThreeFormsAndNothingElse) {
  char text[30];
  ox__httpdate_format(784111777, text);
  EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");
  const time_t y2025 = 1735689600;  // Wed, 01 Jan 2025 00:00:00 GMT
  const time_t y2130 = 5049129600;  // Sun, 01 Jan 2130 00:00:00 GMT
  constexpr time_t refused = -1;
  struct {
    const char *text;
    time_t now, parsed;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", y2025, 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", y2025, 784111777},
      {"Sun Nov  6 08:49:37 1994", y2025, 784111777},
      {"Sun Nov 06 08:49:37 1994", y2025, 784111777},
      {" \tSun, 06 Nov 1994 08:49:37 GMT\t ", y2025, 784111777},
      {"Thu, 01 Jan 1970 00:00:00 GMT", y2025, 0},
      {"Tue, 29 Feb 2000 23:59:59 GMT", y2025, 951868799},
      {"Tuesday, 29-Feb-00 23:59:59 GMT", y2025, 951868799},
      {"Thursday, 29-Feb-24 12:00:00 GMT", y2025, 1709208000},
      {"Sat, 31 Dec 2016 23:59:60 GMT", y2025, 1483228800},
      // Two-digit years: up to 50 years ahead of now, else a century back.
      {"Monday, 31-Dec-74 23:59:59 GMT", y2025, 3313526399},
      {"Tuesday, 01-Jan-75 00:00:00 GMT", y2025, 3313526400},
      {"Wednesday, 01-Jan-75 00:00:01 GMT", y2025, 157766401},
      {"Saturday, 06-Nov-94 08:49:37 GMT", y2130, 3939871777},
      // Days that do not exist, fields out of range.
      {"Mon, 29 Feb 1900 00:00:00 GMT", y2025, refused},
      {"Thu, 29 Feb 2001 00:00:00 GMT", y2025, refused},
      {"Monday, 29-Feb-99 00:00:00 GMT", y2025, refused},
      {"Thu Apr 31 00:00:00 2025", y2025, refused},
      {"Sun, 00 Nov 1994 08:49:37 GMT", y2025, refused},
      {"Sun, 06 Nov 1994 25:49:37 GMT", y2025, refused},
      {"Sun, 06 Nov 1994 08:49:61 GMT", y2025, refused},
      // Names, spacing and the parts of one form in another.
      {"sun, 06 nov 1994 08:49:37 GMT", y2025, refused},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", y2025, refused},
      {"Sun, 06 Nov 1994 08:49:37 UTC", y2025, refused},
      {"Sun, 6 Nov 1994 08:49:37 GMT", y2025, refused},
      {"Sun,  06 Nov 1994 08:49:37 GMT", y2025, refused},
      {"Sunday, 06 Nov 1994 08:49:37 GMT", y2025, refused},
      {"Sun, 06-Nov-94 08:49:37 GMT", y2025, refused},
      {"Sunday, 06-Nov-1994 08:49:37 GMT", y2025, refused},
      {"Sunday, 06-Nov-94 08:49:37", y2025, refused},
      {"Sunday, 06-Nov-9x 08:49:37 GMT", y2025, refused},
      {"Sun Nov 6 08:49:37 1994", y2025, refused},
      {"Sun Nov  16 08:49:37 1994", y2025, refused},
      {"Sun Nov  6 08:49:37 94", y2025, refused},
      {"Sun Nov  6 08:49:37 1994 GMT", y2025, refused},
      // Trailing junk, a second member, nothing at all.
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", y2025, refused},
      {"Sun, 06 Nov 1994 08:49:37 GMT, Sun, 06 Nov 1994 08:49:37 GMT", y2025,
       refused},
      {"", y2025, refused},
      {"Sun", y2025, refused},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    time_t t = refused;
    bool ok = ox__httpdate_parse_at(c.text, c.now, &t);
    EXPECT_EQ(ok, c.parsed != refused);
    EXPECT_EQ(t, c.parsed);
  }
  // The current time decides only the century of an RFC 850 year.
  time_t t = 0;
  ASSERT_TRUE(ox__httpdate_parse("Sun Nov  6 08:49:37 1994", &t));
  EXPECT_EQ(t, 784111777);
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
  ox__cond_request req{true,
                       false,
                       v.etag,
                       "Sunday, 06-Nov-94 08:49:37 GMT",
                       "\"a\", , W/\"b\"",
                       "Sun Nov  6 08:49:37 1994",
                       "bytes=-100",
                       v.etag};
  int hits = 0;
  ox__alloc_hooks_reset();
#ifdef OX_TEST_COUNT_MALLOC
  unsigned long std_before = std_alloc_calls.load();
#endif
  for (int round = 0; round < 3; ++round) {
    ox__range r;
    hits += ox__cond_evaluate(req, v, v.etag, &r) == ox__cond::partial;
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
