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

void send_text(ox_httpres *res, const char *text, unsigned int status = 200) {
  EXPECT_EQ(
      ox_httpres_sendbinary(res, text, strlen(text), "text/plain", status), 0);
}

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
