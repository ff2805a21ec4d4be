// Requests: what the request callback sees of what a client sent.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::TestServer;

int dump_pair(void *cls, ox_strmap *pair) {
  auto *out = static_cast<std::string *>(cls);
  if (!out->empty()) *out += ";";
  *out += std::string(ox_strmap_name(pair)) + "=" + ox_strmap_val(pair);
  return 0;
}

// "name=val;name=val" in map order.
std::string dump(ox_strmap *map) {
  std::string out;
  ox_strmap_iter(map, dump_pair, &out);
  return out;
}

void reply(ox_httpres *res, const std::string &text) {
  EXPECT_EQ(ox_httpres_sendbinary(res, text.data(), text.size(),
                                  "text/plain", 200),
            0);
}

// Replies with what the request carried, as one line.
void describe(ox_httpreq *req, ox_httpres *res) {
  ox_str *payload = ox_httpreq_payload(req);
  reply(res, std::string(ox_httpreq_method(req)) + " " + ox_httpreq_path(req) +
                 " params{" + dump(*ox_httpreq_params(req)) + "} fields{" +
                 dump(*ox_httpreq_fields(req)) + "} payload=" +
                 std::to_string(ox_str_length(payload)) +
                 (ox_httpreq_is_uploading(req) ? " uploading" : "") +
                 (ox_httpreq_uploads(req) != nullptr ? " uploads" : ""));
}

TEST(OxHttpreq, PathIsDecodedAndTheQueryGoesToParams) {
  TestServer srv(describe);
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *target, *seen;
  } cases[] = {
      {"/", "GET / params{} fields{} payload=0"},
      {"/a%20b/c?x=1&y=%41&x=2",
       "GET /a b/c params{x=1;y=A;x=2} fields{} payload=0"},
      {"/q?sp=a+b&amp=%26&empty=", "GET /q params{sp=a b;amp=&;empty=} "
                                   "fields{} payload=0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.target);
    oxtest::Response r = oxtest::http_get(srv.port(), c.target);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.seen);
  }
}

TEST(OxHttpreq, EveryMethodReachesTheCallbackAsSent) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    ox_strmap_add(ox_httpres_headers(res), "X-Method", ox_httpreq_method(req));
    reply(res, "m");
  });
  ASSERT_TRUE(srv.listening());
  for (const char *method :
       {"GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD", "BREW"}) {
    SCOPED_TRACE(method);
    oxtest::Request req;
    req.method = method;
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers.get("X-Method"), method);
  }
}

TEST(OxHttpreq, HeaderAndCookieMapsKeepNamesAndIgnoreCase) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    ox_strmap *headers = *ox_httpreq_headers(req);
    ox_strmap *pair = nullptr;
    std::string name =
        ox_strmap_find(headers, "x-CUSTOM-thing", &pair) == 0
            ? ox_strmap_name(pair)
            : "(none)";
    const char *lower = ox_strmap_get(headers, "x-custom-thing");
    reply(res, name + "|" + (lower != nullptr ? lower : "(null)") +
                   "|cookies{" + dump(*ox_httpreq_cookies(req)) + "}");
  });
  ASSERT_TRUE(srv.listening());
  oxtest::Request req;
  // Every Cookie line counts; quotes around a value are not part of it.
  req.headers = {"X-Custom-Thing: Value 1", "Cookie: a=1; session=xyz; b=two",
                 "Cookie: c=\"3\" ;flag;  =skipped; d = x,y "};
  oxtest::Response r = oxtest::http(srv.port(), req);
  EXPECT_EQ(r.body, "X-Custom-Thing|Value 1|cookies{a=1;session=xyz;b=two;"
                    "c=3;flag=;d=x,y}");
}

std::string all_bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  return s;
}

TEST(OxHttpreq, BinaryBodyWithNulBytesComesBackWhole) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    ox_str *payload = ox_httpreq_payload(req);
    EXPECT_EQ(ox_httpres_sendbinary(res, ox_str_content(payload),
                                    ox_str_length(payload),
                                    "application/octet-stream", 200),
              0);
  });
  ASSERT_TRUE(srv.listening());
  std::string body = all_bytes(300000);
  struct Case {
    const char *what, *method, *extra_header;
  } cases[] = {
      {"POST with length", "POST", "X-Nothing: 1"},
      {"PUT with length", "PUT", "X-Nothing: 1"},
      {"POST chunked", "POST", "Transfer-Encoding: chunked"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Request req;
    req.method = c.method;
    req.body = body;
    req.headers = {"Content-Type: application/octet-stream", c.extra_header};
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), body.size());
    EXPECT_TRUE(r.body == body);
  }
}

TEST(OxHttpreq, UrlencodedAndMultipartFieldsGoToFields) {
  TestServer srv(describe);
  ASSERT_TRUE(srv.listening());
  oxtest::Request urlenc;
  urlenc.method = "POST";
  urlenc.target = "/form?from=query";
  urlenc.body = "name=J%C3%B6rg&x=a+b&empty=&dup=1&dup=2";
  urlenc.headers = {
      "Content-Type: application/x-www-form-urlencoded; charset=utf-8"};
  oxtest::Response r = oxtest::http(srv.port(), urlenc);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.substr(0, r.body.find(" payload=")),
            "POST /form params{from=query} "
            "fields{name=J\xC3\xB6rg;x=a b;empty=;dup=1;dup=2}");

  oxtest::Request multi;
  multi.method = "POST";
  multi.target = "/multi";
  multi.form = {{"a", "1", "", "", 0, {}}, {"b", "two words\r\nand a line", "", "", 0, {}}};
  r = oxtest::http(srv.port(), multi);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            "POST /multi params{} fields{a=1;b=two words\r\nand a line} "
            "payload=0");
}

// "n fields, payload p" for what reached the callback.
void count_fields(ox_httpreq *req, ox_httpres *res) {
  reply(res, std::to_string(ox_strmap_count(*ox_httpreq_fields(req))) +
                 " fields, payload " +
                 std::to_string(ox_str_length(ox_httpreq_payload(req))));
}

std::string many_fields(const char *type, int n, size_t name_len) {
  std::string body;
  for (int i = 0; i < n; ++i) {
    std::string name = std::to_string(i) + std::string(name_len, 'n');
    if (type[0] == 'm') {
      body += "--B\r\nContent-Disposition: form-data; name=\"" + name +
              "\"\r\n\r\n\r\n";
    } else {
      body += (i != 0 ? "&" : "") + name + "=";
    }
  }
  return type[0] == 'm' ? body + "--B--\r\n" : body;
}

TEST(OxHttpreq, FormFieldsCountAgainstTheLimitsNamesIncluded) {
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_payld_limit(s, 64 * 1024), 0);
    EXPECT_EQ(ox_httpsrv_set_fields_limit(s, 100), 0);
  };
  TestServer srv(count_fields, o);
  ASSERT_TRUE(srv.listening());
  const char *multi = "multipart/form-data; boundary=B";
  const char *urlenc = "application/x-www-form-urlencoded";
  struct Case {
    const char *what, *type;
    std::string body;
    std::string reply;  // "" for 413
  } cases[] = {
      // Names went uncounted, and were held twice.
      {"multipart names over the payload limit", multi,
       many_fields(multi, 90, 1024), ""},
      {"multipart fields at the limit", multi, many_fields(multi, 100, 1),
       "100 fields, payload 0"},
      {"multipart fields over the limit", multi, many_fields(multi, 101, 1),
       ""},
      {"url-encoded fields over the limit", urlenc,
       many_fields(urlenc, 101, 1), ""},
      // A first name longer than the old parser's buffer was answered 400.
      {"url-encoded name of 20 KiB", urlenc,
       std::string(20000, 'k') + "=v&x=1", "2 fields, payload 20006"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Response r = oxtest::http_post(srv.port(), "/", c.body, c.type);
    EXPECT_EQ(r.status, c.reply.empty() ? 413 : 200);
    if (!c.reply.empty()) {
      EXPECT_EQ(r.body, c.reply);
    }
  }
}

TEST(OxHttpreq, KnowsItsServerAndRefusesIsolationOnceAnswered) {
  std::atomic<ox_httpsrv *> expected{nullptr};
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    reply(res, ox_httpreq_srv(req) == expected.load() ? "same" : "other");
    EXPECT_EQ(ox_httpreq_isolate(req, [](void *, ox_httpreq *, ox_httpres *) {
      ADD_FAILURE() << "isolated after the reply";
    }, nullptr), EALREADY);
  });
  ASSERT_TRUE(srv.listening());
  expected = srv.get();
  EXPECT_EQ(oxtest::http_get(srv.port(), "/").body, "same");
}

TEST(OxHttpreq, NullRequestGivesNullAndEinval) {
  struct Getter {
    const char *what;
    const void *(*get)();
  } getters[] = {
      {"path", [] { return static_cast<const void *>(ox_httpreq_path(nullptr)); }},
      {"method", [] { return static_cast<const void *>(ox_httpreq_method(nullptr)); }},
      {"srv", [] { return static_cast<const void *>(ox_httpreq_srv(nullptr)); }},
      {"headers", [] { return static_cast<const void *>(ox_httpreq_headers(nullptr)); }},
      {"cookies", [] { return static_cast<const void *>(ox_httpreq_cookies(nullptr)); }},
      {"params", [] { return static_cast<const void *>(ox_httpreq_params(nullptr)); }},
      {"fields", [] { return static_cast<const void *>(ox_httpreq_fields(nullptr)); }},
      {"payload", [] { return static_cast<const void *>(ox_httpreq_payload(nullptr)); }},
      {"uploads", [] { return static_cast<const void *>(ox_httpreq_uploads(nullptr)); }},
  };
  for (const Getter &g : getters) {
    SCOPED_TRACE(g.what);
    errno = 0;
    EXPECT_EQ(g.get(), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_FALSE(ox_httpreq_is_uploading(nullptr));
  EXPECT_EQ(ox_httpreq_isolate(nullptr, [](void *, ox_httpreq *, ox_httpres *) {}, nullptr),
            EINVAL);
}

}  // namespace

namespace {

// "status body" for each reply of a pipelined exchange, then "closed" or
// "open".
std::string exchange_trace(uint16_t port, const std::string &bytes) {
  oxtest::RawReply raw = oxtest::raw_exchange(port, bytes, 5000);
  std::string out;
  for (const auto &r : oxtest::parse_responses(raw.bytes)) {
    out += (r.status != 0 ? std::to_string(r.status) : r.status_line) + " " +
           r.body + "|";
  }
  return out + (raw.closed ? "closed" : "open");
}

}  // namespace

// Requests a proxy in front may read otherwise are refused with 400 and
// the connection closed, so that nothing hidden in them is served; targets
// of every form a server must take are routed by their path.
TEST(OxHttpreq, TargetsAndFieldsAreReadAsAStrictServerReadsThem) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    const char *host = ox_strmap_get(*ox_httpreq_headers(req), "Host");
    reply(res, std::string(ox_httpreq_path(req)) + " host=" +
                   (host != nullptr ? host : "-") + " params{" +
                   dump(*ox_httpreq_params(req)) + "}");
  });
  ASSERT_TRUE(srv.listening());
  const std::string last = "GET /last HTTP/1.1\r\nHost: x\r\n"
                           "Connection: close\r\n\r\n";
  const std::string last_seen = "200 /last host=x params{}|closed";
  struct Case {
    std::string request, trace;
  } cases[] = {
      // obs-fold: libmicrohttpd would read these as fields of other names.
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n"
       "Transfer-Encoding:\r\n chunked\r\n\r\n0\r\n\r\n"
       "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n",
       "400 Bad Request\n|closed"},
      {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length:\r\n 5\r\n\r\n"
       "helloGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n",
       "400 Bad Request\n|closed"},
      {"GET / HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n\t2\r\n\r\n",
       "400 Bad Request\n|closed"},
      // A NUL byte would cut the path or an argument short.
      {"GET /items/1%00/../../admin HTTP/1.1\r\nHost: x\r\n\r\n",
       "400 Bad Request\n|closed"},
      {"GET /q?a=1%00b HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET /q?a%00=1 HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      // A NUL or a bare CR in a field, a dropped line, a bare LF: bytes a
      // proxy may read otherwise.
      {std::string("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\0002\r\n"
                   "\r\nxGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n",
                   85),
       "400 Bad Request\n|closed"},
      {"GET / HTTP/1.1\r\nHost: x\r\nX: a\rContent-Length: 5\r\n\r\n",
       "400 Bad Request\n|closed"},
      {"GET / HTTP/1.1\r\nHost: x\r\n: nameless\r\n\r\n",
       "400 Bad Request\n|closed"},
      {"GET / HTTP/1.1\nHost: x\n\n", "400 Bad Request\n|closed"},
      // The request line: a method that is a token, single spaces, a target
      // without spaces or control bytes, a Host from HTTP/1.1 on; no
      // tunnels.
      {"G(T / HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET  / HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET /a b HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET /a\x01 HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET / HTTP/1.2\r\n\r\n", "400 Bad Request\n|closed"},
      {"CONNECT x:443 HTTP/1.1\r\nHost: x:443\r\n\r\n",
       "501 Not Implemented\n|closed"},
      // Nothing after a chunked body is read as a request: libmicrohttpd
      // reads chunk lines and trailers more leniently than a proxy may.
      {"POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\nx\n0\n\nGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n" + last,
       "200 /c host=x params{}|closed"},
      // Targets of no form the method allows.
      {"GET items HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      {"GET * HTTP/1.1\r\nHost: x\r\n\r\n", "400 Bad Request\n|closed"},
      // The absolute form: its host stands for the Host field.
      {"GET http://example.test:81/a%20b?x=1 HTTP/1.1\r\nHost: other\r\n\r\n" +
           last,
       "200 /a b host=example.test:81 params{x=1}|" + last_seen},
      {"GET HTTP://h HTTP/1.1\r\nHost: h\r\n\r\n" + last,
       "200 / host=h params{}|" + last_seen},
      {"OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n" + last,
       "200 * host=x params{}|" + last_seen},
      {"GET /%2500?y=%2500 HTTP/1.1\r\nHost: x\r\n\r\n" + last,
       "200 /%00 host=x params{y=%00}|" + last_seen},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(exchange_trace(srv.port(), c.request), c.trace);
  }
}
