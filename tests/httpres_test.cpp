// Responses: every kind of send as a client sees it on the wire, reply
// headers and cookies, and the release of stream handles.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ombrix.h"
#include "support/alloc_torture.h"
#include "support/http_client.h"
#include "support/inflate.h"
#include "support/server_fixture.h"

namespace {

using oxtest::TestServer;
using oxtest::ThreadModel;

std::string path_of(ox_httpreq *req) { return ox_httpreq_path(req); }

oxtest::ParsedResponse raw_get(uint16_t port, const std::string &target) {
  oxtest::RawReply raw = oxtest::raw_exchange(
      port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  return oxtest::parse_response(raw.bytes);
}

std::string pattern(size_t n, size_t from = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((from + i) * 31) >> 3);
  return s;
}

TEST(OxHttpresSendbinary, ExactStatusHeadersAndBodyOnTheWire) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    std::string p = path_of(req);
    ox_strmap **headers = ox_httpres_headers(res);
    ox_strmap_add(headers, "X-Twice", "a");
    ox_strmap_add(headers, "X-Twice", "b");
    if (p == "/created") {
      EXPECT_EQ(ox_httpres_sendbinary(res, "hello", 5, "text/plain", 201), 0);
    } else if (p == "/untyped") {
      EXPECT_EQ(ox_httpres_sendbinary(res, "gone", 4, nullptr, 404), 0);
    } else if (p == "/empty") {
      EXPECT_EQ(ox_httpres_sendbinary(res, nullptr, 0, "", 200), 0);
    } else {
      EXPECT_EQ(ox_httpres_sendbinary(res, "a\0b", 3, "application/x-b", 599), 0);
    }
  });
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *target, *status_line, *type, *length;
    std::string body;
  } cases[] = {
      {"/created", "HTTP/1.1 201 Created", "text/plain", "5", "hello"},
      {"/untyped", "HTTP/1.1 404 Not Found", nullptr, "4", "gone"},
      {"/empty", "HTTP/1.1 200 OK", nullptr, "0", ""},
      {"/odd", nullptr, "application/x-b", "3", std::string("a\0b", 3)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    oxtest::ParsedResponse r = raw_get(srv.port(), c.target);
    if (c.status_line != nullptr) {
      EXPECT_EQ(r.status_line, c.status_line);
    } else {
      EXPECT_EQ(r.status, 599);
    }
    EXPECT_EQ(r.headers.count("Content-Type"), c.type != nullptr ? 1u : 0u);
    if (c.type != nullptr) {
      EXPECT_EQ(r.headers.get("Content-Type"), c.type);
    }
    EXPECT_EQ(r.headers.get("Content-Length"), c.length);
    EXPECT_EQ(r.headers.all("X-Twice"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.body, c.body);
  }
}

struct Handle {
  std::atomic<int> frees{0};
};
void count_free(void *h) { ++static_cast<Handle *>(h)->frees; }
ssize_t never_read(void *, uint64_t, char *, size_t) {
  ADD_FAILURE() << "read from a stream that was refused";
  return ox_eor(true);
}

TEST(OxHttpresSend, ArgumentsAreCheckedAndOnlyTheFirstSendCounts) {
  Handle refused, late;
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendbinary(nullptr, "x", 1, "text/plain", 200), EINVAL);
    EXPECT_EQ(ox_httpres_sendbinary(res, "x", 1, "text/plain", 99), EINVAL);
    EXPECT_EQ(ox_httpres_sendbinary(res, "x", 1, "text/plain", 600), EINVAL);
    EXPECT_EQ(ox_httpres_sendbinary(res, nullptr, 3, "text/plain", 200), EINVAL);
    EXPECT_EQ(ox_httpres_sendstream(res, 0, never_read, &refused, count_free, 600),
              EINVAL);
    EXPECT_EQ(refused.frees.load(), 1);  // released at once
    std::string body = "first";
    EXPECT_EQ(ox_httpres_sendbinary(res, body.data(), body.size(), "text/plain", 200), 0);
    body = "XXXXX";  // the send took a copy
    EXPECT_EQ(ox_httpres_sendbinary(res, "second", 6, "text/plain", 200), EALREADY);
    EXPECT_EQ(ox_httpres_zsendbinary(res, "second", 6, "text/plain", 200), EALREADY);
    EXPECT_EQ(ox_httpres_sendfile(res, OX_SOURCE_DIR "/CMakeLists.txt", 200), EALREADY);
    EXPECT_EQ(ox_httpres_sendstream(res, 5, never_read, &late, count_free, 200),
              EALREADY);
    EXPECT_EQ(late.frees.load(), 1);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::Response r = oxtest::http_get(srv.port(), "/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "first");
  srv.stop();
  EXPECT_EQ(refused.frees.load(), 1);
  EXPECT_EQ(late.frees.load(), 1);
}


TEST(OxHttpresZsendbinary, BodyIsRawDeflateMarkedAsSuch) {
  std::string text;
  while (text.size() < 100000) text += "line " + std::to_string(text.size()) + "\n";
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_zsendbinary(res, text.data(), text.size(),
                                     "text/plain; charset=utf-8", 202),
              0);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::Request req;
  req.decode = false;
  req.headers = {"Accept-Encoding: deflate"};
  oxtest::Response r = oxtest::http(srv.port(), req);
  EXPECT_EQ(r.status, 202);
  EXPECT_EQ(r.headers.get("Content-Encoding"), "deflate");
  EXPECT_NE(r.headers.get("Vary").find("Accept-Encoding"), std::string::npos);
  EXPECT_EQ(r.headers.get("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_LT(r.body.size(), text.size() / 2);
  EXPECT_TRUE(oxtest::raw_inflate(r.body) == text);
}

// A directory of files for sendfile, removed at the end.
struct FileDir {
  std::filesystem::path dir;
  FileDir() {
    char tmpl[] = "/tmp/ox-sendfile.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir = tmpl;
  }
  ~FileDir() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string write(const std::string &name, const std::string &bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  }
};

TEST(OxHttpresSendfile, RangesDispositionAndTypeOnTheWire) {
  FileDir files;
  ASSERT_FALSE(files.dir.empty());
  const std::string data = pattern(100000);
  const std::string bin = files.write("report 1.bin", data);
  const std::string html = files.write("page.html", "<p>hi</p>");
  std::atomic<int> rc{-1};
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string p = path_of(req);
    int r = 0;
    if (p == "/whole") r = ox_httpres_sendfile(res, bin.c_str(), 200);
    if (p == "/mid") r = ox_httpres_sendfile2(res, 0, 100, 10, bin.c_str(), nullptr, 206);
    if (p == "/tail") r = ox_httpres_sendfile2(res, 0, 0, 99990, bin.c_str(), nullptr, 200);
    if (p == "/past") r = ox_httpres_sendfile2(res, 0, 500, 99900, bin.c_str(), nullptr, 200);
    if (p == "/blocks") r = ox_httpres_sendfile2(res, 7, 0, 0, bin.c_str(), nullptr, 200);
    if (p == "/attach")
      r = ox_httpres_sendfile2(res, 0, 0, 0, bin.c_str(), "attachment", 200);
    if (p == "/html") r = ox_httpres_sendfile(res, html.c_str(), 200);
    if (p == "/dir") {
      rc = ox_httpres_sendfile(res, files.dir.c_str(), 200);
      r = ox_httpres_sendbinary(res, "dir", 3, "text/plain", 400);
    }
    if (p == "/missing" || p == "/missing-then-404") {
      rc = ox_httpres_sendfile(res, (files.dir / "nope").c_str(), 200);
      if (p == "/missing-then-404") r = ox_httpres_sendbinary(res, "none", 4, "text/plain", 404);
    }
    EXPECT_EQ(r, 0);
  });
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *target;
    int status;
    std::string body;
  } cases[] = {
      {"/whole", 200, data},
      {"/mid", 206, data.substr(10, 100)},
      {"/tail", 200, data.substr(99990)},
      {"/past", 200, data.substr(99900)},
      {"/blocks", 200, data},
      {"/attach", 200, data},
      {"/html", 200, "<p>hi</p>"},
      {"/missing-then-404", 404, "none"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    oxtest::ParsedResponse r = raw_get(srv.port(), c.target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.body.size(), c.body.size());
    EXPECT_TRUE(r.body == c.body);
    bool attached = std::string(c.target) == "/attach";
    EXPECT_EQ(r.headers.count("Content-Disposition"), attached ? 1u : 0u);
    if (attached) {
      EXPECT_EQ(r.headers.get("Content-Disposition"),
                "attachment; filename=\"report 1.bin\"");
    }
  }
  EXPECT_EQ(raw_get(srv.port(), "/html").headers.get("Content-Type").rfind("text/html", 0), 0u);
  EXPECT_EQ(raw_get(srv.port(), "/missing").status, 500);
  EXPECT_EQ(rc.load(), ENOENT);
  EXPECT_EQ(raw_get(srv.port(), "/dir").status, 400);
  EXPECT_EQ(rc.load(), EINVAL);
}

// A stream of |size| pattern bytes handed out |piece| at a time; checks
// that the offsets it is given follow what it delivered.
struct PatternStream {
  uint64_t size = 0;       // 0: chunked, ended after |total| bytes
  uint64_t total = 0;
  size_t piece = 0;
  bool break_off = false;  // end with ox_eor(true) instead
  uint64_t delivered = 0;
  std::atomic<int> offset_errors{0}, frees{0};
};

ssize_t pattern_read(void *h, uint64_t offset, char *buf, size_t size) {
  auto *s = static_cast<PatternStream *>(h);
  if (offset != s->delivered) ++s->offset_errors;
  if (s->delivered >= s->total) return ox_eor(s->break_off);
  size_t n = std::min<uint64_t>({size, s->piece, s->total - s->delivered});
  std::string bytes = pattern(n, s->delivered);
  memcpy(buf, bytes.data(), n);
  s->delivered += n;
  return static_cast<ssize_t>(n);
}

void pattern_free(void *h) { ++static_cast<PatternStream *>(h)->frees; }

class OxHttpresStreams : public testing::TestWithParam<ThreadModel> {};

std::string model_name(const testing::TestParamInfo<ThreadModel> &p) {
  return oxtest::thread_model_name(p.param);
}

INSTANTIATE_TEST_SUITE_P(ThreadModels, OxHttpresStreams,
                         testing::ValuesIn(oxtest::all_thread_models()),
                         model_name);

TEST_P(OxHttpresStreams, KnownAndUnknownSizesArriveWhole) {
  PatternStream fixed, chunked, broken;
  fixed.size = fixed.total = 100000;
  fixed.piece = 4000;
  chunked.total = 50001;
  chunked.piece = 10000;
  broken.total = 3000;
  broken.piece = 1000;
  broken.break_off = true;
  oxtest::ServerOptions o;
  o.model = GetParam();
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string p = path_of(req);
    PatternStream *s = p == "/fixed" ? &fixed : p == "/chunked" ? &chunked : &broken;
    EXPECT_EQ(ox_httpres_sendstream(res, s->size, pattern_read, s, pattern_free, 200), 0);
  }, o);
  ASSERT_TRUE(srv.listening());

  oxtest::RawReply raw = oxtest::raw_exchange(
      srv.port(), "GET /fixed HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  oxtest::ParsedResponse r = oxtest::parse_response(raw.bytes);
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.headers.get("Content-Length"), "100000");
  EXPECT_FALSE(r.headers.has("Transfer-Encoding"));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.body == pattern(100000));

  raw = oxtest::raw_exchange(
      srv.port(), "GET /chunked HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  r = oxtest::parse_response(raw.bytes);
  EXPECT_EQ(r.headers.get("Transfer-Encoding"), "chunked");
  EXPECT_FALSE(r.headers.has("Content-Length"));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.body == pattern(50001));

  oxtest::Response cut = oxtest::http_get(srv.port(), "/broken");
  EXPECT_FALSE(cut.ok());  // no final chunk: the client sees a broken body
  srv.stop();
  for (PatternStream *s : {&fixed, &chunked, &broken}) {
    EXPECT_EQ(s->offset_errors.load(), 0);
    EXPECT_EQ(s->frees.load(), 1);
  }
}

ssize_t endless_read(void *, uint64_t, char *buf, size_t size) {
  size_t n = std::min<size_t>(size, 2000);
  memset(buf, 'z', n);
  return static_cast<ssize_t>(n);
}

TEST_P(OxHttpresStreams, ClientLeavingMidStreamReleasesTheHandleOnce) {
  struct Leaving {
    std::atomic<int> frees{0};
    oxtest::Counter freed;
  } endless;
  oxtest::ServerOptions o;
  o.model = GetParam();
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendstream(res, 0, endless_read, &endless,
                                    [](void *h) {
                                      auto *l = static_cast<Leaving *>(h);
                                      ++l->frees;
                                      l->freed.add();
                                    },
                                    200),
              0);
  }, o);
  ASSERT_TRUE(srv.listening());
  {
    oxtest::RawConnection con(srv.port());
    ASSERT_TRUE(con.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_GT(con.read_until([](const std::string &b) { return b.size() > 10000; },
                             20000).size(), 10000u);
  }  // the client goes away
  EXPECT_EQ(endless.freed.wait_for(1, 30000), 1);
  srv.stop();
  EXPECT_EQ(endless.frees.load(), 1);
}

TEST(OxHttpresCookies, SetCookieHeadersComeBackAsRequestCookies) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    if (path_of(req) == "/echo") {
      std::string seen;
      ox_strmap_iter(*ox_httpreq_cookies(req), [](void *cls, ox_strmap *pair) {
        auto *out = static_cast<std::string *>(cls);
        *out += std::string(ox_strmap_name(pair)) + "=" + ox_strmap_val(pair) + ";";
        return 0;
      }, &seen);
      EXPECT_EQ(ox_httpres_sendbinary(res, seen.data(), seen.size(), "text/plain", 200), 0);
      return;
    }
    EXPECT_EQ(ox_httpres_set_cookie(res, "a", "1"), 0);
    EXPECT_EQ(ox_httpres_set_cookie(res, "sid", "x-Y_z.9"), 0);
    struct Bad {
      const char *name, *val;
    } bad[] = {{nullptr, "v"}, {"n", nullptr}, {"", "v"},   {"a=b", "v"},
               {"a b", "v"},   {"a;b", "v"},   {"a,b", "v"}, {"a\tb", "v"},
               {"a\x01", "v"}, {"n", "x;y"},   {"n", "x y"}, {"n", "x,y"},
               {"n", "x\ny"},  {"n", "x\x7f"}};
    for (const Bad &b : bad) {
      SCOPED_TRACE(b.name != nullptr ? b.name : "(null)");
      EXPECT_EQ(ox_httpres_set_cookie(res, b.name, b.val), EINVAL);
    }
    EXPECT_EQ(ox_httpres_set_cookie(nullptr, "a", "1"), EINVAL);
    EXPECT_EQ(ox_httpres_sendbinary(res, "set", 3, "text/plain", 200), 0);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::ParsedResponse r = raw_get(srv.port(), "/set");
  EXPECT_EQ(r.headers.all("Set-Cookie"),
            (std::vector<std::string>{"a=1; Path=/; HttpOnly; SameSite=Lax",
                                      "sid=x-Y_z.9; Path=/; HttpOnly; SameSite=Lax"}));
  std::string cookie_header = "Cookie: ";
  for (const std::string &c : r.headers.all("Set-Cookie"))
    cookie_header += c.substr(0, c.find(';')) + "; ";
  oxtest::Request next;
  next.target = "/echo";
  next.headers = {cookie_header.substr(0, cookie_header.size() - 2)};
  EXPECT_EQ(oxtest::http(srv.port(), next).body, "a=1;sid=x-Y_z.9;");
}

}  // namespace

namespace {

// "status framing body-bytes|..." of the replies to |request| followed by
// a pipelined GET, framing being the Content-Length ("cl=N"), "chunked",
// or "close" for neither; then "closed" or "open".
std::string head_trace(uint16_t port, const std::string &target) {
  oxtest::RawReply raw = oxtest::raw_exchange(
      port, "HEAD " + target + " HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip"
            "\r\n\r\nGET /after HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  std::string out;
  for (const auto &r : oxtest::parse_responses(raw.bytes, {true, false})) {
    std::string framing =
        r.headers.has("Content-Length") ? "cl=" + r.headers.get("Content-Length")
        : r.headers.has("Transfer-Encoding") ? "chunked"
                                              : "close";
    out += std::to_string(r.status) + " " + framing + " " +
           std::to_string(r.body.size()) + "|";
  }
  return out + (raw.closed ? "closed" : "open");
}

}  // namespace

// No reply to HEAD carries a body, whatever its kind: the next reply on the
// connection must start right after its head.  One whose length is known
// only once its body is made (a stream, a gzipped file) closes the
// connection instead of announcing a length it cannot know.
TEST(OxHttpresHead, NoReplyToHeadCarriesABody) {
  FileDir files;
  ASSERT_FALSE(files.dir.empty());
  const std::string file = files.write("f.bin", pattern(3000));
  PatternStream streams[3];
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) { ox_httpsrv_set_compression(s, 6); };
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    std::string p = path_of(req);
    std::string text(1000, 'a');
    // A type gzip gains from, but for the stream of known length.
    ox_strmap_add(ox_httpres_headers(res), "Content-Type",
                  p == "/known" ? "image/png" : "text/plain");
    if (p == "/after") {
      ox_httpres_sendbinary(res, "after", 5, "text/plain", 200);
    } else if (p == "/bytes") {
      ox_httpres_sendbinary(res, text.data(), text.size(), nullptr, 200);
    } else if (p == "/z") {
      ox_httpres_zsendbinary(res, text.data(), text.size(), nullptr, 200);
    } else if (p == "/file" || p == "/file.txt") {
      ox_httpres_sendfile(res, file.c_str(), 200);
    } else {
      PatternStream *s = &streams[p == "/known" ? 0 : p == "/empty" ? 1 : 2];
      s->size = p == "/known" ? 1000 : 0;
      s->total = p == "/empty" ? 0 : 1000;
      s->piece = 1000;
      ox_httpres_sendstream(res, s->size, pattern_read, s, pattern_free, 200);
    }
  }, o);
  ASSERT_TRUE(srv.listening());
  const std::string after = "200 cl=5 5|closed";
  struct {
    const char *target, *trace;
  } cases[] = {
      {"/bytes", "200 cl=29 0|"},          // gzipped: its length is known
      {"/z", "200 cl=11 0|"},
      {"/file", "200 cl=3000 0|"},         // application/octet-stream
      {"/known", "200 cl=1000 0|"},
      {"/empty", "200 close 0|closed"},    // a stream of unknown length
      {"/chunked", "200 close 0|closed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.target);
    std::string want = c.trace;
    if (want.back() == '|') want += after;
    EXPECT_EQ(head_trace(srv.port(), c.target), want);
  }
  srv.stop();
  // The streams a HEAD never reads are released all the same.
  for (const PatternStream &s : streams) {
    EXPECT_EQ(s.delivered, 0u);
    EXPECT_EQ(s.frees.load(), 1);
  }
}

namespace {

// A cookie's attributes with the defaults of ox_httpres_set_cookie(),
// changed by |edit|.
ox_cookie_opts cookie_opts(void (*edit)(ox_cookie_opts &)) {
  ox_cookie_opts o = OX_COOKIE_OPTS_DEFAULT;
  edit(o);
  return o;
}

TEST(OxHttpresCookies, EachOptionSetGivesItsExactSetCookieLine) {
  struct Case {
    const char *name, *val;
    ox_cookie_opts opts;
    const char *line;
  } cases[] = {
      {"a", "1", cookie_opts([](ox_cookie_opts &) {}),
       "a=1; Path=/; HttpOnly; SameSite=Lax"},
      {"zeroed", "", ox_cookie_opts{}, "zeroed=; Path=/; SameSite=Lax"},
      {"bare", "v", cookie_opts([](ox_cookie_opts &o) {
         o.path = "";
         o.http_only = false;
         o.same_site = OX_SAMESITE_OMIT;
       }),
       "bare=v"},
      {"sid", "x-Y_z.9", cookie_opts([](ox_cookie_opts &o) {
         o.path = "/my notes";
         o.domain = "example.com";
         o.max_age = 3600;
         o.secure = true;
         o.same_site = OX_SAMESITE_STRICT;
       }),
       "sid=x-Y_z.9; Path=/my notes; Domain=example.com; Max-Age=3600; "
       "Secure; HttpOnly; SameSite=Strict"},
      {"old", "1", cookie_opts([](ox_cookie_opts &o) {
         o.expires = 784111777;
         o.max_age = INT64_MAX;
       }),
       "old=1; Path=/; Max-Age=9223372036854775807; "
       "Expires=Sun, 06 Nov 1994 08:49:37 GMT; HttpOnly; SameSite=Lax"},
      {"last", "1", cookie_opts([](ox_cookie_opts &o) {
         o.expires = 253402300799;
       }),
       "last=1; Path=/; Expires=Fri, 31 Dec 9999 23:59:59 GMT; HttpOnly; "
       "SameSite=Lax"},
      {"cross", "1", cookie_opts([](ox_cookie_opts &o) {
         o.secure = true;
         o.same_site = OX_SAMESITE_NONE;
       }),
       "cross=1; Path=/; Secure; HttpOnly; SameSite=None"},
      {"__Host-sid", "1", cookie_opts([](ox_cookie_opts &o) {
         o.secure = true;
       }),
       "__Host-sid=1; Path=/; Secure; HttpOnly; SameSite=Lax"},
      {"__Secure-t", "1", cookie_opts([](ox_cookie_opts &o) {
         o.secure = true;
         o.path = "/api";
         o.domain = "example.com";
       }),
       "__Secure-t=1; Path=/api; Domain=example.com; Secure; HttpOnly; "
       "SameSite=Lax"},
  };
  TestServer srv([&cases](ox_httpreq *, ox_httpres *res) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(ox_httpres_set_cookie2(res, c.name, c.val, &c.opts), 0);
    }
    EXPECT_EQ(ox_httpres_set_cookie2(res, "null", "opts", nullptr), 0);
    // Each ended with the options it was set with: only the lifetime goes.
    EXPECT_EQ(ox_httpres_delete_cookie(res, "a", nullptr), 0);
    for (int i : {3, 4, 7}) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(ox_httpres_delete_cookie(res, cases[i].name, &cases[i].opts),
                0);
    }
    EXPECT_EQ(ox_httpres_sendbinary(res, "set", 3, "text/plain", 200), 0);
  });
  ASSERT_TRUE(srv.listening());
  std::vector<std::string> expected;
  for (const Case &c : cases) expected.push_back(c.line);
  const std::string epoch =
      "; Max-Age=0; Expires=Thu, 01 Jan 1970 00:00:00 GMT";
  expected.insert(
      expected.end(),
      {"null=opts; Path=/; HttpOnly; SameSite=Lax",
       "a=; Path=/" + epoch + "; HttpOnly; SameSite=Lax",
       "sid=; Path=/my notes; Domain=example.com" + epoch +
           "; Secure; HttpOnly; SameSite=Strict",
       "old=; Path=/" + epoch + "; HttpOnly; SameSite=Lax",
       "__Host-sid=; Path=/" + epoch + "; Secure; HttpOnly; SameSite=Lax"});
  oxtest::Response r = oxtest::http_get(srv.port(), "/");
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.headers.all("Set-Cookie"), expected);
}

TEST(OxHttpresCookies, RefusedCookiesAreEinvalAndAddNoHeader) {
  struct Case {
    const char *why, *name, *val;
    ox_cookie_opts opts;
  } cases[] = {
      {"name", "a b", "v", cookie_opts([](ox_cookie_opts &) {})},
      {"value", "n", "x;y", cookie_opts([](ox_cookie_opts &) {})},
      {"quoted value", "n", "\"v\"", cookie_opts([](ox_cookie_opts &) {})},
      {"path ;", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.path = "/a; Secure"; })},
      {"path CRLF", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.path = "/a\r\nX-Evil: 1"; })},
      {"path DEL", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.path = "/a\x7f"; })},
      {"path non-ASCII", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.path = "/caf\xc3\xa9"; })},
      {"domain ;", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.domain = "ex.com; Secure"; })},
      {"domain control", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.domain = "ex\x01.com"; })},
      {"max_age", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.max_age = -1; })},
      {"expires before 1970", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.expires = -1; })},
      {"expires after 9999", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.expires = 253402300800; })},
      {"same_site", "n", "v", cookie_opts([](ox_cookie_opts &o) {
         // Stored as a C caller may store it: C++ has no enum value 4.
         int unknown = 4;
         memcpy(&o.same_site, &unknown, sizeof unknown);
       })},
      {"None without Secure", "n", "v",
       cookie_opts([](ox_cookie_opts &o) { o.same_site = OX_SAMESITE_NONE; })},
      {"__Secure- without Secure", "__Secure-n", "v",
       cookie_opts([](ox_cookie_opts &) {})},
      {"__host- without Secure", "__host-n", "v",
       cookie_opts([](ox_cookie_opts &) {})},
      {"__Host- with a domain", "__Host-n", "v",
       cookie_opts([](ox_cookie_opts &o) {
         o.secure = true;
         o.domain = "example.com";
       })},
      {"__Host- below /", "__Host-n", "v", cookie_opts([](ox_cookie_opts &o) {
         o.secure = true;
         o.path = "/api";
       })},
  };
  TestServer srv([&cases](ox_httpreq *, ox_httpres *res) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.why);
      EXPECT_EQ(ox_httpres_set_cookie2(res, c.name, c.val, &c.opts), EINVAL);
    }
    ox_cookie_opts fine = OX_COOKIE_OPTS_DEFAULT;
    EXPECT_EQ(ox_httpres_set_cookie2(nullptr, "n", "v", &fine), EINVAL);
    EXPECT_EQ(ox_httpres_set_cookie2(res, nullptr, "v", &fine), EINVAL);
    EXPECT_EQ(ox_httpres_set_cookie2(res, "n", nullptr, &fine), EINVAL);
    EXPECT_EQ(ox_httpres_set_cookie2(res, "", "v", nullptr), EINVAL);
    EXPECT_EQ(ox_httpres_delete_cookie(nullptr, "n", nullptr), EINVAL);
    EXPECT_EQ(ox_httpres_delete_cookie(res, nullptr, nullptr), EINVAL);
    EXPECT_EQ(ox_httpres_delete_cookie(res, "a=b", nullptr), EINVAL);
    // A deletion refuses the name and attributes a setting refuses; its
    // value and lifetime are its own, so the cases about those are skipped.
    for (const Case &c : cases) {
      if (strcmp(c.val, "v") != 0 || c.opts.max_age != 0 ||
          c.opts.expires != 0) {
        continue;
      }
      SCOPED_TRACE(c.why);
      EXPECT_EQ(ox_httpres_delete_cookie(res, c.name, &c.opts), EINVAL);
    }
    EXPECT_EQ(ox_httpres_sendbinary(res, "none", 4, "text/plain", 200), 0);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::ParsedResponse r = raw_get(srv.port(), "/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers.count("Set-Cookie"), 0u);
  EXPECT_EQ(r.headers.count("X-Evil"), 0u);
}

TEST(OxHttpresCookies, FailedAllocationsAreEnomemAndAddNoHeader) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    ox_strmap **headers = ox_httpres_headers(res);
    // The map's table is made by its first pair: made now, every run below
    // allocates alike.
    EXPECT_EQ(ox_strmap_add(headers, "X-First", "1"), 0);
    const std::string value(300, 'v');  // grows the line past its first room
    ox_cookie_opts opts = OX_COOKIE_OPTS_DEFAULT;
    opts.domain = "example.com";
    opts.max_age = 60;
    unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
      unsigned int before = ox_strmap_count(*headers);
      oxtest::alloc_arm(fail_at);
      int rc = ox_httpres_set_cookie2(res, "sid", value.c_str(), &opts);
      unsigned long made = oxtest::alloc_disarm();
      EXPECT_EQ(rc, fail_at == 0 ? 0 : ENOMEM);
      EXPECT_EQ(ox_strmap_count(*headers), before + (rc == 0 ? 1 : 0));
      return made;
    });
    EXPECT_GT(count, 1u);
    oxtest::alloc_arm(1);
    EXPECT_EQ(ox_httpreq_set_log_id(req, "r-1"), ENOMEM);
    oxtest::alloc_disarm();
    EXPECT_EQ(ox_httpres_sendbinary(res, "ok", 2, "text/plain", 200), 0);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::ParsedResponse r = raw_get(srv.port(), "/");
  EXPECT_EQ(r.headers.all("Set-Cookie"),
            std::vector<std::string>{
                "sid=" + std::string(300, 'v') +
                "; Path=/; Domain=example.com; Max-Age=60; HttpOnly; "
                "SameSite=Lax"});
}

}  // namespace
