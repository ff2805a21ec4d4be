// The access log: the record of each request as the callback sees it, and
// the Common Log Format lines of ox_httplog_clf().
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::Counter;
using oxtest::TestServer;

// What a test server's log saw, one line per request.
struct LogSink {
  std::mutex mu;
  std::vector<std::string> lines;
  Counter count;
  FILE *clf = nullptr;  // set: ox_httplog_clf() writes here too

  static void record(void *cls, ox_httplog *rec) {
    auto *self = static_cast<LogSink *>(cls);
    const char *user = ox_httplog_user(rec);
    std::string line = std::string(ox_httplog_method(rec)) + " " +
                       ox_httplog_path(rec) + " " + ox_httplog_version(rec) +
                       " " + std::to_string(ox_httplog_status(rec)) + " " +
                       std::to_string(ox_httplog_bytes(rec)) + " " +
                       ox_httplog_peer(rec) + " " + (user ? user : "-");
    if (self->clf != nullptr) ox_httplog_clf(self->clf, rec);
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->lines.push_back(line);
    }
    self->count.add();
  }
};

using oxtest::send_text;

ssize_t three_chunks(void *handle, uint64_t, char *buf, size_t size) {
  int *left = static_cast<int *>(handle);
  if ((*left)-- == 0) return ox_eor(false);
  size_t n = size < 4 ? size : 4;
  memcpy(buf, "abcd", n);
  return static_cast<ssize_t>(n);
}

// Routes that give each kind of reply a log must count.
oxtest::ServerOptions logged(LogSink *sink) {
  oxtest::ServerOptions o;
  o.configure = [sink](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_log(srv, LogSink::record, sink), 0);
    ox_httpsrv_set_payld_limit(srv, 8);
    ox_httpsrv_add_route(
        srv, "GET", "/x",
        [](void *, ox_httpreq *, ox_httpres *res) { send_text(res, "hello"); },
        nullptr);
    ox_httpsrv_add_route(
        srv, "GET", "/stream",
        [](void *, ox_httpreq *, ox_httpres *res) {
          static thread_local int left;
          left = 3;
          EXPECT_EQ(
              ox_httpres_sendstream(res, 0, three_chunks, &left, nullptr, 200),
              0);
        },
        nullptr);
    ox_httpsrv_add_route(
        srv, "POST", "/in",
        [](void *, ox_httpreq *, ox_httpres *res) { send_text(res, "", 204); },
        nullptr);
  };
  return o;
}

TEST(OxHttplog, EachRequestIsLoggedWithStatusBytesPeerAndUser) {
  LogSink sink;
  TestServer srv(nullptr, logged(&sink));
  ASSERT_TRUE(srv.listening());
  uint16_t port = srv.port();
  oxtest::Request head;
  head.method = "HEAD";
  head.target = "/x";
  oxtest::Request authed;
  authed.target = "/x";
  authed.user = "alice";
  authed.password = "pw";
  std::vector<oxtest::Request> requests(8);
  requests[0].target = "/x";
  requests[1] = head;
  requests[2].target = "/stream";
  requests[3].target = "/nowhere";  // library's 404
  requests[4].method = "DELETE";    // library's 405
  requests[4].target = "/x";
  requests[5].method = "POST";  // over the limit
  requests[5].target = "/in";
  requests[5].body = "0123456789";
  requests[6].method = "POST";
  requests[6].target = "/in";
  requests[6].body = "small";
  requests[7] = authed;
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i].method + " " + requests[i].target);
    ASSERT_TRUE(oxtest::http(port, requests[i]).ok());
    // The record comes once the reply is out: wait for it, so that the
    // lines keep the order of the requests.
    ASSERT_EQ(sink.count.wait_for(static_cast<int>(i) + 1, 10000),
              static_cast<int>(i) + 1);
  }
  std::string all;
  for (const std::string &line : sink.lines) all += line + "\n";
  EXPECT_EQ(all,
            "GET /x HTTP/1.1 200 5 127.0.0.1 -\n"
            "HEAD /x HTTP/1.1 200 0 127.0.0.1 -\n"
            "GET /stream HTTP/1.1 200 12 127.0.0.1 -\n"
            "GET /nowhere HTTP/1.1 404 10 127.0.0.1 -\n"
            "DELETE /x HTTP/1.1 405 19 127.0.0.1 -\n"
            "POST /in HTTP/1.1 413 18 127.0.0.1 -\n"
            "POST /in HTTP/1.1 204 0 127.0.0.1 -\n"
            "GET /x HTTP/1.1 200 5 127.0.0.1 alice\n");
}

TEST(OxHttplog, ClfLinesEscapeWhatCouldForgeALine) {
  LogSink sink;
  char *text = nullptr;
  size_t size = 0;
  sink.clf = open_memstream(&text, &size);
  ASSERT_NE(sink.clf, nullptr);
  {
    TestServer srv(nullptr, logged(&sink));
    ASSERT_TRUE(srv.listening());
    oxtest::Request req;
    req.target = "/x";
    req.user = "bob";
    req.password = "pw";
    ASSERT_TRUE(oxtest::http(srv.port(), req).ok());
    // A user name that would split the fields and start a date of its own
    // (curl sends what follows the colon as the password).
    req.user = "evil - [01/Jan/2000:x";
    ASSERT_TRUE(oxtest::http(srv.port(), req).ok());
    // The target as sent, query included: a quote and a byte 0xff can
    // neither end the line nor the quoted request early.
    oxtest::raw_exchange(srv.port(),
                         "GET /a\"b\xff" "c?q=%0A HTTP/1.1\r\nHost: x\r\n"
                         "Connection: close\r\n\r\n");
    ASSERT_EQ(sink.count.wait_for(3, 10000), 3);
  }
  fclose(sink.clf);
  std::string clf(text, size);
  free(text);
  std::regex line(
      "127\\.0\\.0\\.1 - bob \\[\\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:"
      "\\d\\d \\+0000\\] \"GET /x HTTP/1\\.1\" 200 5\n"
      "127\\.0\\.0\\.1 - evil\\\\x20-\\\\x20\\\\x5B01/Jan/2000 \\[[^\\]]+\\] "
      "\"GET /x HTTP/1\\.1\" 200 5\n"
      "127\\.0\\.0\\.1 - - \\[[^\\]]+\\] "
      "\"GET /a\\\\x22b\\\\xFFc\\?q=%0A HTTP/1\\.1\" 404 10\n");
  EXPECT_TRUE(std::regex_match(clf, line)) << clf;
}

TEST(OxHttplog, DurationCoversTheCallbackAndNullsAreRefused) {
  uint64_t duration = 0;
  time_t at = 0;
  Counter logged_once;
  struct Seen {
    uint64_t *duration;
    time_t *at;
    Counter *done;
  } seen{&duration, &at, &logged_once};
  oxtest::ServerOptions o;
  o.configure = [&seen](ox_httpsrv *srv) {
    ox_httpsrv_set_log(
        srv,
        [](void *cls, ox_httplog *rec) {
          auto *s = static_cast<Seen *>(cls);
          *s->duration = ox_httplog_duration(rec);
          *s->at = ox_httplog_time(rec);
          s->done->add();
        },
        &seen);
  };
  time_t before = time(nullptr);
  TestServer srv(
      [](ox_httpreq *, ox_httpres *res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send_text(res, "late");
      },
      o);
  ASSERT_TRUE(srv.listening());
  ASSERT_TRUE(oxtest::http_get(srv.port(), "/").ok());
  ASSERT_EQ(logged_once.wait_for(1, 10000), 1);
  EXPECT_GE(duration, 50000u);
  EXPECT_GE(at, before);
  EXPECT_LE(at, time(nullptr));
  EXPECT_EQ(ox_httpsrv_set_log(srv.get(), nullptr, nullptr), EALREADY);
  errno = 0;
  EXPECT_EQ(ox_httplog_path(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  ox_httplog_clf(nullptr, nullptr);  // does nothing
}

}  // namespace

namespace {

// The line |writer| makes of each request, its date made "[D]"; and the
// fields a custom callback reads of the same record.
struct WriterSink {
  std::mutex mu;
  std::vector<std::string> lines;  // one per request, in order
  Counter count;

  static void record(void *cls, ox_httplog *rec) {
    auto *self = static_cast<WriterSink *>(cls);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    ox_httplog_clf(out, rec);
    ox_httplog_combined(out, rec);
    fclose(out);
    std::string both =
        std::regex_replace(std::string(text, size), std::regex("\\[[^\\]]+\\]"),
                           "[D]");
    free(text);
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->lines.push_back(both);
    }
    self->count.add();
  }
};

// A server whose handler gives the request the id the client names in
// X-Set-Id, and answers "hello" on every path but /missing.
oxtest::ServerOptions writers(WriterSink *sink) {
  oxtest::ServerOptions o;
  o.configure = [sink](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_log(srv, WriterSink::record, sink), 0);
  };
  return o;
}

void id_and_hello(ox_httpreq *req, ox_httpres *res) {
  if (strcmp(ox_httpreq_path(req), "/missing") == 0) {
    EXPECT_EQ(ox_httpres_sendbinary(res, "", 0, nullptr, 404), 0);
    return;
  }
  if (const char *id = ox_strmap_get(*ox_httpreq_headers(req), "X-Set-Id")) {
    EXPECT_EQ(ox_httpreq_set_log_id(req, id), 0);
  }
  send_text(res, "hello");
}

TEST(OxHttplog, CombinedLinesAddRefererAgentAndIdEscapedAsTheRequestLine) {
  struct Case {
    const char *head;      // the request line and fields after it
    const char *combined;  // the line expected, its date made "[D]"
  } cases[] = {
      {"GET /notes?limit=2 HTTP/1.1\r\nReferer: https://ex.com/a?b=1\r\n"
       "User-Agent: curl/8.1 (x86_64)\r\n",
       "\"GET /notes?limit=2 HTTP/1.1\" 200 5 \"https://ex.com/a?b=1\" "
       "\"curl/8.1 (x86_64)\""},
      // Absent and empty both read "-"; a reply with no body bytes too.
      {"GET /missing HTTP/1.1\r\nUser-Agent:\r\n",
       "\"GET /missing HTTP/1.1\" 404 - \"-\" \"-\""},
      // Quotes, backslashes, control bytes, DEL and non-ASCII cannot end
      // the field or the line.
      {"GET /x HTTP/1.1\r\nUser-Agent: a\"b\\c\x01" "d\te\x7f\xff\r\n"
       "Referer: \" \"-\r\n",
       "\"GET /x HTTP/1.1\" 200 5 \"\\x22 \\x22-\" "
       "\"a\\x22b\\x5Cc\\x01d\\x09e\\x7F\\xFF\""},
      // A CR inside a value is refused, and logged escaped.
      {"GET /cr HTTP/1.1\r\nUser-Agent: a\rb\r\n",
       "\"GET /cr HTTP/1.1\" 400 12 \"-\" \"a\\x0Db\""},
      // A target refused for decoding to a NUL is logged as it was sent,
      // not as the path the NUL cut short.
      {"GET /a%00b?q HTTP/1.1\r\n",
       "\"GET /a%00b?q HTTP/1.1\" 400 12 \"-\" \"-\""},
      // The program's id is one more quoted field, escaped as well.
      {"GET /id HTTP/1.1\r\nX-Set-Id: req-42\r\n",
       "\"GET /id HTTP/1.1\" 200 5 \"-\" \"-\" \"req-42\""},
      {"GET /id?a=%22 HTTP/1.1\r\nX-Set-Id: a\"b\\c\r\n",
       "\"GET /id?a=%22 HTTP/1.1\" 200 5 \"-\" \"-\" \"a\\x22b\\x5Cc\""},
  };
  WriterSink sink;
  TestServer srv(id_and_hello, writers(&sink));
  ASSERT_TRUE(srv.listening());
  std::string expected, seen;
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.head);
    oxtest::raw_exchange(
        srv.port(),
        std::string(c.head) + "Host: x\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(sink.count.wait_for(++n, 10000), n);
    // The CLF line is the combined one without the fields it adds.
    std::string clf(c.combined);
    clf = clf.substr(0, clf.find(" \"", clf.find("\" ") + 2));
    expected += "127.0.0.1 - - [D] " + clf + "\n127.0.0.1 - - [D] " +
                c.combined + "\n";
    std::lock_guard<std::mutex> lock(sink.mu);
    seen += sink.lines.back();
  }
  EXPECT_EQ(seen, expected);
}

// What a log callback of the program's own reads of a record: the target,
// headers by any case, the id.
struct FieldSink {
  std::mutex mu;
  std::string trace;
  Counter count;

  static void record(void *cls, ox_httplog *rec) {
    auto *self = static_cast<FieldSink *>(cls);
    auto or_dash = [](const char *text) { return text ? text : "-"; };
    std::string line = std::string(ox_httplog_target(rec)) +
                       " ua=" + or_dash(ox_httplog_header(rec, "user-agent")) +
                       " host=" + or_dash(ox_httplog_header(rec, "HOST")) +
                       " none=" + or_dash(ox_httplog_header(rec, "X-None")) +
                       " id=" + or_dash(ox_httplog_id(rec));
    errno = 0;
    if (ox_httplog_header(rec, nullptr) != nullptr || errno != EINVAL) {
      line += " (NULL name not refused)";
    }
    {
      std::lock_guard<std::mutex> lock(self->mu);
      self->trace += line + "\n";
    }
    self->count.add();
  }
};

TEST(OxHttplog, CallbackReadsTargetHeadersAndTheIdTheHandlerSet) {
  FieldSink sink;
  oxtest::ServerOptions o;
  o.configure = [&sink](ox_httpsrv *srv) {
    EXPECT_EQ(ox_httpsrv_set_log(srv, FieldSink::record, &sink), 0);
    // The library answers this one itself: no handler, no id.
    ox_httpsrv_add_route(srv, "POST", "/only-post", [](void *, ox_httpreq *,
                                                       ox_httpres *) {},
                         nullptr);
  };
  TestServer srv(
      [](ox_httpreq *req, ox_httpres *res) {
        // Refused ids leave the one set before; a later one replaces it.
        EXPECT_EQ(ox_httpreq_set_log_id(req, "first"), 0);
        std::string too_long(129, 'a');
        const char *bad[] = {nullptr, "", too_long.c_str(), "a\nb", "a\x7f",
                             "caf\xc3\xa9", "tab\there"};
        for (const char *id : bad) {
          SCOPED_TRACE(id != nullptr ? id : "(null)");
          EXPECT_EQ(ox_httpreq_set_log_id(req, id), EINVAL);
        }
        EXPECT_EQ(ox_httpreq_set_log_id(nullptr, "x"), EINVAL);
        const char *asked =
            ox_strmap_get(*ox_httpreq_headers(req), "X-Request-Id");
        if (asked != nullptr) {
          EXPECT_EQ(ox_httpreq_set_log_id(req, asked), 0);
        }
        send_text(res, "ok");
      },
      o);
  ASSERT_TRUE(srv.listening());
  const char *requests[] = {
      "GET /notes?limit=2&q=a%20b HTTP/1.1\r\nHost: x\r\n"
      "USER-AGENT: t/1\r\nX-Request-Id: 0123456789abcdef0123456789abcdef"
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
      "0123456789abcdef0123456789abcdef\r\n",
      "GET http://h.example:81/p?q HTTP/1.1\r\nHost: x\r\n",
      "GET /only-post HTTP/1.1\r\nHost: x\r\nUser-Agent: u\r\n",
  };
  int n = 0;
  for (const char *head : requests) {
    oxtest::raw_exchange(srv.port(),
                         std::string(head) + "Connection: close\r\n\r\n");
    ASSERT_EQ(sink.count.wait_for(++n, 10000), n);
  }
  std::lock_guard<std::mutex> lock(sink.mu);
  EXPECT_EQ(sink.trace,
            "/notes?limit=2&q=a%20b ua=t/1 host=x none=- id=0123456789abcdef"
            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
            "0123456789abcdef0123456789abcdef0123456789abcdef\n"
            "http://h.example:81/p?q ua=- host=h.example:81 none=- id=first\n"
            "/only-post ua=u host=x none=- id=-\n");
}

}  // namespace
