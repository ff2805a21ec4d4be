// Static files and gzip as a client sees them on the wire: validators,
// conditional requests, byte ranges, HEAD, and which replies are gzipped
// (buffers, files, streams flushed piece by piece).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using oxtest::TestServer;

// Inflates a gzip body; with |partial| the body may stop at a flush point.
std::string gunzip(const std::string &in, bool partial = false) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  std::string out;
  int rc = Z_OK;
  while (rc == Z_OK && (zs.avail_in != 0 || zs.avail_out == 0)) {
    char buf[16384];
    zs.next_out = reinterpret_cast<Bytef *>(buf);
    zs.avail_out = sizeof(buf);
    rc = inflate(&zs, Z_SYNC_FLUSH);
    out.append(buf, sizeof(buf) - zs.avail_out);
  }
  EXPECT_EQ(rc, partial ? Z_OK : Z_STREAM_END);
  inflateEnd(&zs);
  return out;
}

class TempTree {
 public:
  TempTree() {
    root_ = fs::temp_directory_path() /
            ("oxfile-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~TempTree() { fs::remove_all(root_); }
  std::string write(const std::string &name, const std::string &data) {
    fs::path p = root_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
    return p.string();
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path root_;
};

std::string digits(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; ++i) s += std::to_string(i % 10);
  return s;
}

oxtest::Response get(uint16_t port, const std::string &target,
                     std::vector<std::string> headers,
                     const std::string &method = "GET") {
  oxtest::Request req;
  req.method = method;
  req.target = target;
  req.headers = std::move(headers);
  req.decode = false;
  return oxtest::http(port, req);
}

TEST(OxHttpfile, ValidatorsConditionalsAndRangesOnTheWire) {
  TempTree tree;
  const std::string body = digits(1000);
  std::string file = tree.write("f.bin", body);
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendfile(res, file.c_str(), 200), 0);
  });
  ASSERT_TRUE(srv.listening());
  oxtest::Response first = get(srv.port(), "/", {});
  ASSERT_EQ(first.status, 200);
  const std::string etag = first.headers.get("ETag");
  const std::string lm = first.headers.get("Last-Modified");
  EXPECT_EQ(etag.front(), '"');
  EXPECT_EQ(etag.back(), '"');
  EXPECT_EQ(lm.size(), 29u);
  EXPECT_EQ(first.headers.get("Accept-Ranges"), "bytes");
  EXPECT_EQ(first.headers.get("Content-Type"), "application/octet-stream");
  EXPECT_EQ(first.body, body);

  struct {
    std::string method;
    std::vector<std::string> headers;
    long status;
    std::string content_range, length, body;
  } cases[] = {
      // A 304 tells the length of the 200 it stands for, never 0.
      {"GET", {"If-None-Match: " + etag}, 304, "", "1000", ""},
      {"GET", {"If-None-Match: \"x\", W/" + etag}, 304, "", "1000", ""},
      // A list field's lines count together.
      {"GET", {"If-None-Match: \"x\"", "If-None-Match: " + etag}, 304, "",
       "1000", ""},
      {"GET", {"If-None-Match: \"x\""}, 200, "", "1000", body},
      {"GET", {"If-Modified-Since: " + lm}, 304, "", "1000", ""},
      // A date given twice is no date.
      {"GET", {"If-Modified-Since: " + lm, "If-Modified-Since: " + lm}, 200,
       "", "1000", body},
      {"GET", {"If-None-Match: \"x\"", "If-Modified-Since: " + lm}, 200, "",
       "1000", body},
      {"GET", {"Range: bytes=10-19"}, 206, "bytes 10-19/1000", "10",
       body.substr(10, 10)},
      {"GET", {"Range: bytes=990-"}, 206, "bytes 990-999/1000", "10",
       body.substr(990)},
      {"GET", {"Range: bytes=-5"}, 206, "bytes 995-999/1000", "5",
       body.substr(995)},
      {"GET", {"Range: bytes=1000-"}, 416, "bytes */1000", "", ""},
      {"GET", {"Range: bytes=0-1,5-6"}, 200, "", "1000", body},
      {"GET", {"Range: bytes=x"}, 200, "", "1000", body},
      {"GET", {"Range: bytes=0-3", "If-Range: " + etag}, 206,
       "bytes 0-3/1000", "4", body.substr(0, 4)},
      {"GET", {"Range: bytes=0-3", "If-Range: \"stale\""}, 200, "", "1000",
       body},
      {"GET", {"Range: bytes=0-3", "If-Range: " + lm}, 206, "bytes 0-3/1000",
       "4", body.substr(0, 4)},
      {"HEAD", {}, 200, "", "1000", ""},
      {"HEAD", {"If-None-Match: *"}, 304, "", "1000", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.method + " " + (c.headers.empty() ? "" : c.headers[0]));
    oxtest::Response r = get(srv.port(), "/", c.headers, c.method);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headers.get("Content-Range"), c.content_range);
    if (!c.length.empty()) {
      EXPECT_EQ(r.headers.get("Content-Length"), c.length);
    }
    if (r.status != 416) {
      EXPECT_EQ(r.headers.get("ETag"), etag);
      EXPECT_EQ(r.headers.get("Last-Modified"), lm);
      EXPECT_EQ(r.body, c.body);
    }
  }
  // Other statuses and slices are sent as asked, without validators.
  TestServer plain([&](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendfile2(res, 0, 4, 2, file.c_str(), nullptr, 200),
              0);
  });
  oxtest::Response slice = get(plain.port(), "/", {"If-None-Match: *"});
  EXPECT_EQ(slice.status, 200);
  EXPECT_EQ(slice.body, body.substr(2, 4));
  EXPECT_FALSE(slice.headers.has("ETag"));
}

TEST(OxHttpfile, GzipOnlyWhenEnabledAcceptedWorthItAndNoRange) {
  TempTree tree;
  const std::string text = digits(5000);
  std::string txt = tree.write("t.txt", text);
  std::string png = tree.write("i.png", text);
  std::string tiny = tree.write("s.txt", "short");
  auto handler = [&](ox_httpreq *req, ox_httpres *res) {
    std::string p = ox_httpreq_path(req);
    if (p == "/buf") {
      EXPECT_EQ(ox_httpres_sendbinary(res, text.data(), text.size(),
                                      "text/plain", 200), 0);
    } else if (p == "/deflate") {
      EXPECT_EQ(ox_httpres_zsendbinary(res, text.data(), text.size(),
                                       "text/plain", 200), 0);
    } else {
      std::string f = p == "/png" ? png : p == "/tiny" ? tiny : txt;
      EXPECT_EQ(ox_httpres_sendfile(res, f.c_str(), 200), 0);
    }
  };
  oxtest::ServerOptions on;
  on.configure = [](ox_httpsrv *s) {
    ASSERT_EQ(ox_httpsrv_set_compression(s, 6), 0);
  };
  TestServer gz(handler, on), off(handler);
  ASSERT_TRUE(gz.listening());
  ASSERT_TRUE(off.listening());
  struct {
    TestServer *srv;
    const char *target, *accept;
    const char *encoding;  // "" for identity
    bool vary;
  } cases[] = {
      {&gz, "/buf", "gzip", "gzip", true},
      {&gz, "/file", "br, gzip;q=0.8", "gzip", true},
      {&gz, "/file", "gzip;q=0", "", true},
      {&gz, "/file", nullptr, "", true},
      {&gz, "/tiny", "gzip", "", true},
      {&gz, "/png", "gzip", "", false},
      {&gz, "/deflate", "gzip", "deflate", true},
      {&off, "/buf", "gzip", "", false},
      {&off, "/file", "gzip", "", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + (c.accept ? c.accept : "-") +
                 (c.srv == &off ? " off" : " on"));
    std::vector<std::string> h;
    if (c.accept != nullptr) h.push_back(std::string("Accept-Encoding: ") + c.accept);
    oxtest::Response r = get(c.srv->port(), c.target, h);
    ASSERT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.headers.get("Content-Encoding"), c.encoding);
    EXPECT_EQ(r.headers.get("Vary"), c.vary ? "Accept-Encoding" : "");
    if (std::string(c.encoding) == "gzip") {
      EXPECT_LT(r.body.size(), text.size() / 2);
      EXPECT_TRUE(gunzip(r.body) == text);
    }
  }
  // A range is of the identity bytes, whatever the client accepts.
  oxtest::Response part =
      get(gz.port(), "/file", {"Accept-Encoding: gzip", "Range: bytes=1-3"});
  EXPECT_EQ(part.status, 206);
  EXPECT_FALSE(part.headers.has("Content-Encoding"));
  EXPECT_EQ(part.body, text.substr(1, 3));
}

TEST(OxHttpfile, PreconditionsAndTheSelectedVariantOnTheWire) {
  TempTree tree;
  const std::string text = digits(5000);
  std::string file = tree.write("t.txt", text);
  // Sun, 06 Nov 1994 08:49:37 GMT, so that the dates below are fixed; the
  // gzip variant has a tag of its own.
  const timespec times[2] = {{784111777, 0}, {784111777, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  oxtest::ServerOptions on;
  on.configure = [](ox_httpsrv *s) {
    ASSERT_EQ(ox_httpsrv_set_compression(s, 6), 0);
  };
  // Over 16 KiB: read as it goes out, not kept in memory.
  std::string big = tree.write("big.txt", digits(40000));
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    bool want_big = strcmp(ox_httpreq_path(req), "/big") == 0;
    EXPECT_EQ(ox_httpres_sendfile(res, (want_big ? big : file).c_str(), 200),
              0);
  }, on);
  ASSERT_TRUE(srv.listening());
  const std::string plain = get(srv.port(), "/", {}).headers.get("ETag");
  const std::string zipped =
      get(srv.port(), "/", {"Accept-Encoding: gzip"}).headers.get("ETag");
  ASSERT_NE(plain, zipped);
  const std::string gzip = "Accept-Encoding: gzip";
  struct {
    std::vector<std::string> headers;
    long status;
    const char *encoding;  // "" for identity
  } cases[] = {
      {{"If-Match: \"nope\""}, 412, ""},
      {{"If-Match: \"x\", , " + plain}, 200, ""},
      {{gzip, "If-Match: " + plain}, 412, ""},
      {{"If-Unmodified-Since: Sun, 06 Nov 1994 08:49:36 GMT"}, 412, ""},
      {{"If-Unmodified-Since: Sun, 06 Nov 1994 08:49:37 GMT"}, 200, ""},
      {{"If-Modified-Since: Sun Nov  6 08:49:37 1994"}, 304, ""},
      {{"If-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT"}, 304, ""},
      {{"If-None-Match: " + zipped}, 200, ""},
      {{gzip, "If-None-Match: " + zipped}, 304, ""},
      // Two list fields, each in two lines.
      {{"Accept-Encoding: br", "If-None-Match: \"x\"", "Accept-Encoding: gzip",
        "If-None-Match: " + zipped},
       304, ""},
      {{gzip, "If-None-Match: " + plain}, 200, "gzip"},
  };
  for (const auto &c : cases) {
    std::string trace;
    for (const auto &h : c.headers) trace += h + "\n";
    SCOPED_TRACE(trace);
    oxtest::Response r = get(srv.port(), "/", c.headers);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headers.get("Content-Encoding"), c.encoding);
    std::string body = r.body;
    if (std::string(c.encoding) == "gzip") body = gunzip(r.body);
    EXPECT_EQ(body, c.status == 412   ? "Precondition Failed\n"
                    : c.status == 304 ? ""
                                      : text);
  }
  // A small file's gzip variant is made once and kept, so its 304 tells its
  // length.  A larger file's is not known without gzipping: its 304 tells
  // none, which libmicrohttpd allows only by closing the connection.
  oxtest::Response whole = get(srv.port(), "/", {gzip});
  ASSERT_EQ(whole.headers.get("Content-Encoding"), "gzip");
  EXPECT_EQ(whole.headers.get("Content-Length"),
            std::to_string(whole.body.size()));
  const std::string big_zipped =
      get(srv.port(), "/big", {gzip}).headers.get("ETag");
  struct {
    const char *target;
    std::string etag;
    std::string length;  // "" for none
    const char *connection;
  } variants[] = {{"/", zipped, std::to_string(whole.body.size()), ""},
                  {"/big", big_zipped, "", "close"}};
  for (const auto &v : variants) {
    SCOPED_TRACE(v.target);
    oxtest::Response gz304 =
        get(srv.port(), v.target, {gzip, "If-None-Match: " + v.etag});
    EXPECT_EQ(gz304.status, 304);
    EXPECT_EQ(gz304.headers.get("Content-Length"), v.length);
    EXPECT_FALSE(gz304.headers.has("Transfer-Encoding"));
    EXPECT_FALSE(gz304.headers.has("Content-Encoding"));
    EXPECT_EQ(gz304.headers.get("Connection"), v.connection);
  }
}

// A file with a gzipped sibling ("t.txt.gz") at least as new goes out as
// that sibling, with its length, wherever the file would be gzipped; an
// older sibling, one that is no regular file or one leading out of the
// root is passed over, and the file is gzipped as before.
TEST(OxHttpfile, GzippedSiblingGoesOutInsteadOfGzippingTheFile) {
  TempTree tree;
  const std::string text = digits(40000);  // too large to keep in memory
  std::string file = tree.write("www/t.txt", text);
  std::string sibling = tree.path() + "/www/t.txt.gz";
  std::string secret = tree.write("s.gz", "not to be served");
  // Bytes no gzip of the text: a sibling goes out as it is, unread.
  const std::string zipped = "\x1f\x8b the sibling's own bytes";
  enum class sib { newer, older, directory, link_out };
  struct {
    const char *what;
    sib kind;
    bool senddir;
    std::vector<std::string> headers;
    std::string method;
    const char *sent;  // "sibling", "gzipped", "identity", "range"
  } cases[] = {
      {"senddir", sib::newer, true, {"Accept-Encoding: gzip"}, "GET", "sibling"},
      {"sendfile", sib::newer, false, {"Accept-Encoding: gzip"}, "GET",
       "sibling"},
      {"HEAD", sib::newer, true, {"Accept-Encoding: gzip"}, "HEAD", "sibling"},
      {"no gzip asked", sib::newer, true, {}, "GET", "identity"},
      {"a range", sib::newer, true,
       {"Accept-Encoding: gzip", "Range: bytes=0-9"}, "GET", "range"},
      {"older", sib::older, true, {"Accept-Encoding: gzip"}, "GET", "gzipped"},
      {"a directory", sib::directory, true, {"Accept-Encoding: gzip"}, "GET",
       "gzipped"},
      {"a link out of the root", sib::link_out, true,
       {"Accept-Encoding: gzip"}, "GET", "gzipped"},
  };
  oxtest::ServerOptions on;
  on.configure = [](ox_httpsrv *s) {
    ASSERT_EQ(ox_httpsrv_set_compression(s, 6), 0);
  };
  bool senddir = true;
  std::string root = tree.path() + "/www";
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    EXPECT_EQ(senddir ? ox_httpres_senddir(res, root.c_str(),
                                           ox_httpreq_path(req))
                      : ox_httpres_sendfile(res, file.c_str(), 200),
              0);
  }, on);
  ASSERT_TRUE(srv.listening());
  const std::string plain_tag = get(srv.port(), "/t.txt", {}).headers.get("ETag");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(sibling);
    switch (c.kind) {
      case sib::newer:
      case sib::older:
        tree.write("www/t.txt.gz", zipped);
        break;
      case sib::directory: fs::create_directory(sibling); break;
      case sib::link_out: fs::create_symlink(secret, sibling); break;
    }
    // The file's own time, and the sibling's a second before or after it.
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    timespec t[2] = {st.st_mtim, st.st_mtim};
    t[0].tv_sec = t[1].tv_sec += c.kind == sib::older ? -1 : 1;
    if (c.kind != sib::link_out) {
      ASSERT_EQ(utimensat(AT_FDCWD, sibling.c_str(), t, 0), 0);
    }
    senddir = c.senddir;
    oxtest::Response r = get(srv.port(), "/t.txt", c.headers, c.method);
    ASSERT_TRUE(r.ok()) << r.error;
    std::string sent = c.sent;
    EXPECT_EQ(r.status, sent == "range" ? 206 : 200);
    bool gzip = sent == "sibling" || sent == "gzipped";
    EXPECT_EQ(r.headers.get("Content-Encoding"), gzip ? "gzip" : "");
    EXPECT_EQ(r.headers.get("ETag") == plain_tag, !gzip);
    if (sent == "sibling") {
      EXPECT_EQ(r.headers.get("Content-Length"), std::to_string(zipped.size()));
      EXPECT_EQ(r.body, c.method == "HEAD" ? "" : zipped);
    } else if (sent == "gzipped") {
      EXPECT_EQ(r.headers.get("Transfer-Encoding"), "chunked");
      EXPECT_EQ(gunzip(r.body), text);
    } else {
      EXPECT_EQ(r.body, sent == "range" ? text.substr(0, 10) : text);
    }
  }
}

// A file cut short while it is sent: the reply breaks off within moments
// (no final chunk, a Content-Length never reached), never waiting for the
// idle timeout nor passing for a complete, shorter reply, and the error
// callback names the file.
TEST(OxHttpfile, FileCutShortWhileSentBreaksTheReplyOff) {
  TempTree tree;
  // Letters in no order: gzip cannot shrink them much, so neither body
  // fits the sockets' buffers whole.
  std::string text(32 << 20, 'a');
  uint32_t x = 1;
  for (char &c : text) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>('a' + (x >> 16) % 26);
  }
  for (bool gzip : {false, true}) {
    SCOPED_TRACE(gzip ? "gzip" : "identity");
    std::string file = tree.write("cut.txt", text);
    oxtest::ServerOptions o;
    o.configure = [gzip](ox_httpsrv *s) {
      if (gzip) ox_httpsrv_set_compression(s, 1);
    };
    TestServer srv([&](ox_httpreq *, ox_httpres *res) {
      EXPECT_EQ(ox_httpres_sendfile(res, file.c_str(), 200), 0);
    }, o);
    ASSERT_TRUE(srv.listening());
    oxtest::RawConnection c(srv.port());
    ASSERT_TRUE(c.send(std::string("GET / HTTP/1.1\r\nHost: x\r\n") +
                       (gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n"));
    c.read_until([](const std::string &b) { return b.size() > 65536; },
                 10000);
    ASSERT_EQ(truncate(file.c_str(), 1000), 0);
    c.read_to_close(15000);
    EXPECT_TRUE(c.peer_closed());
    oxtest::ParsedResponse r = oxtest::parse_response(c.received());
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(r.complete);
    srv.stop();
    bool named = false;
    for (const std::string &e : srv.errors()) {
      named = named || e.find("cut.txt ended at byte") != std::string::npos;
    }
    EXPECT_TRUE(named);
  }
}

// Hands out "event N" lines, waiting for the test before each one after
// the first.
struct EventStream {
  oxtest::Gate second;
  int sent = 0;
};

ssize_t event_read(void *h, uint64_t, char *buf, size_t size) {
  auto *s = static_cast<EventStream *>(h);
  if (s->sent == 2) return ox_eor(false);
  if (s->sent == 1 && !s->second.wait(20000)) return ox_eor(true);
  int n = snprintf(buf, size, "data: event %d\n\n", ++s->sent);
  return n;
}

TEST(OxHttpfile, GzipStreamsFlushEachPieceAsItComes) {
  EventStream events;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) { ox_httpsrv_set_compression(s, 1); };
  TestServer srv([&](ox_httpreq *, ox_httpres *res) {
    ox_strmap_add(ox_httpres_headers(res), "Content-Type", "text/event-stream");
    EXPECT_EQ(ox_httpres_sendstream(res, 0, event_read, &events, nullptr, 200),
              0);
  }, o);
  ASSERT_TRUE(srv.listening());
  oxtest::RawConnection con(srv.port());
  ASSERT_TRUE(con.send("GET / HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n"
                       "Connection: close\r\n\r\n"));
  // The first event decodes while the second is still held back.
  std::string decoded;
  con.read_until([&](const std::string &b) {
    oxtest::ParsedResponse r = oxtest::parse_response(b);
    if (r.body.empty()) return false;
    decoded = gunzip(r.body, true);
    return decoded.find("event 1") != std::string::npos;
  }, 20000);
  EXPECT_EQ(decoded, "data: event 1\n\n");
  oxtest::ParsedResponse head = oxtest::parse_response(con.received());
  EXPECT_EQ(head.headers.get("Content-Encoding"), "gzip");
  EXPECT_EQ(head.headers.get("Vary"), "Accept-Encoding");
  events.second.open();
  oxtest::ParsedResponse all = oxtest::parse_response(con.read_to_close(20000));
  EXPECT_TRUE(all.complete);
  EXPECT_EQ(gunzip(all.body), "data: event 1\n\ndata: event 2\n\n");
}

}  // namespace
