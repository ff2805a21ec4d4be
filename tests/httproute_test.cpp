// Server routes: dispatch by method and whole path, captures, 404 and 405
// on the wire, and routed requests from many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::TestServer;
using oxtest::ThreadModel;

using oxtest::send_text;

std::string view(const char *p, size_t len) {
  return p != nullptr ? std::string(p, len) : "(none)";
}

// "<tag> <method> var=<id> 0=<capture 0> 1=<capture 1>"
void describe_route(void *cls, ox_httpreq *req, ox_httpres *res) {
  size_t n = 0;
  std::string out = static_cast<const char *>(cls);
  out += std::string(" ") + ox_httpreq_method(req);
  const char *id = ox_httpreq_var(req, "id", &n);
  out += " var=" + view(id, n);
  const char *c0 = ox_httpreq_capture(req, 0, &n);
  out += " 0=" + view(c0, n);
  const char *c1 = ox_httpreq_capture(req, 1, &n);
  out += " 1=" + view(c1, n);
  send_text(res, out);
}

void add_routes(ox_httpsrv *s) {
  EXPECT_EQ(ox_httpsrv_add_route(s, "GET", "/users/(?P<id>[0-9]+)",
                                 describe_route, const_cast<char *>("user")),
            0);
  EXPECT_EQ(ox_httpsrv_add_route(s, "POST", "/users", describe_route,
                                 const_cast<char *>("create")),
            0);
  EXPECT_EQ(ox_httpsrv_add_route(s, "PUT", "/users/([0-9]+)/photo",
                                 describe_route, const_cast<char *>("photo")),
            0);
  EXPECT_EQ(ox_httpsrv_add_route(s, "*", "/any(/x)?(/y)?", describe_route,
                                 const_cast<char *>("any")),
            0);
}

oxtest::ServerOptions routed(ThreadModel model = ThreadModel::kPolling) {
  oxtest::ServerOptions o;
  o.model = model;
  o.configure = add_routes;
  return o;
}

struct RawCase {
  const char *request;
  int status;
  const char *body;   // "" for no body
  const char *allow;  // NULL: no Allow header
};

void check_raw(uint16_t port, const RawCase &c) {
  SCOPED_TRACE(c.request);
  oxtest::RawReply raw = oxtest::raw_exchange(port, c.request);
  oxtest::ParsedResponse r = oxtest::parse_response(raw.bytes);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.body, c.body);
  EXPECT_EQ(r.headers.has("Allow"), c.allow != nullptr);
  if (c.allow != nullptr) {
    EXPECT_EQ(r.headers.get("Allow"), c.allow);
  }
}

TEST(OxHttpsrvRoutes, MethodAndWholePathPickTheRoute) {
  TestServer srv(nullptr, routed());
  ASSERT_TRUE(srv.listening());
  const char *close = " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
  auto req = [&](const char *method, const char *target,
                 const char *extra = "") {
    return std::string(method) + " " + target + close + extra + "\r\n";
  };
  std::string r[] = {
      req("GET", "/users/42"),          req("HEAD", "/users/42"),
      req("POST", "/users"),            req("PUT", "/users/7/photo"),
      req("DELETE", "/users/7/photo"),        req("GET", "/users/ab"),
      req("POST", "/users/42"),         req("PATCH", "/any/y"),
      req("GET", "/users/42/more"),
      req("POST", "/nowhere", "Content-Length: 5\r\n"),
  };
  RawCase cases[] = {
      {r[0].c_str(), 200, "user GET var=42 0=42 1=(none)", nullptr},
      {r[1].c_str(), 200, "", nullptr},  // HEAD by the GET route, no body
      {r[2].c_str(), 200, "create POST var=(none) 0=(none) 1=(none)", nullptr},
      {r[3].c_str(), 200, "photo PUT var=(none) 0=7 1=(none)", nullptr},
      {r[4].c_str(), 405, "Method Not Allowed\n", "PUT"},
      {r[5].c_str(), 404, "Not Found\n", nullptr},
      {r[6].c_str(), 405, "Method Not Allowed\n", "GET, HEAD"},
      // Groups that took no part in the match read as absent.
      {r[7].c_str(), 200, "any PATCH var=(none) 0=(none) 1=/y", nullptr},
      {r[8].c_str(), 404, "Not Found\n", nullptr},
      // Refused before its body is read, and the connection closed.
      {r[9].c_str(), 404, "Not Found\n", nullptr},
  };
  for (const RawCase &c : cases) check_raw(srv.port(), c);
}

TEST(OxHttpsrvRoutes, RequestCallbackTakesWhatNoRouteMatches) {
  TestServer srv([](ox_httpreq *req, ox_httpres *res) {
    size_t n = 7;
    EXPECT_EQ(ox_httpreq_var(req, "id", &n), nullptr);
    EXPECT_EQ(n, 0u);
    send_text(res, std::string("fallback ") + ox_httpreq_path(req));
  }, routed());
  ASSERT_TRUE(srv.listening());
  EXPECT_EQ(oxtest::http_get(srv.port(), "/other").body, "fallback /other");
  EXPECT_EQ(oxtest::http_get(srv.port(), "/users/1").body,
            "user GET var=1 0=1 1=(none)");
  // A path routes match keeps its 405, fallback or not.
  EXPECT_EQ(oxtest::http_post(srv.port(), "/users/1", "x").status, 405);
}

TEST(OxHttpsrvRoutes, AddingChecksArgumentsPatternsAndState) {
  ox_httpsrv *srv = ox_httpsrv_new(nullptr, nullptr);
  ASSERT_NE(srv, nullptr);
  std::string seventeen;
  for (int i = 0; i < 17; ++i) seventeen += "(a)";
  struct Case {
    const char *method, *pattern;
    ox_httpreq_cb cb;
    int rc;
  } cases[] = {
      {nullptr, "/a", describe_route, EINVAL},
      {"", "/a", describe_route, EINVAL},
      {"GET", nullptr, describe_route, EINVAL},
      {"GET", "/a", nullptr, EINVAL},
      {"GET", "/a(", describe_route, EINVAL},
      {"GET", seventeen.c_str(), describe_route, EINVAL},
      {"GET", seventeen.c_str() + 3, describe_route, 0},  // sixteen
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern != nullptr ? c.pattern : "(null)");
    EXPECT_EQ(ox_httpsrv_add_route(srv, c.method, c.pattern, c.cb, nullptr),
              c.rc);
  }
  EXPECT_EQ(ox_httpsrv_add_route(nullptr, "GET", "/", describe_route, nullptr),
            EINVAL);
  ASSERT_TRUE(ox_httpsrv_listen(srv, 0, false));
  EXPECT_EQ(ox_httpsrv_add_route(srv, "GET", "/b", describe_route, nullptr),
            EALREADY);
  ox_httpsrv_free(srv);
  errno = 0;
  EXPECT_EQ(ox_httpreq_var(nullptr, "id", nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

void isolated_capture(void *, ox_httpreq *req, ox_httpres *res) {
  size_t n = 0;
  const char *id = ox_httpreq_var(req, "id", &n);
  send_text(res, "isolated " + view(id, n));
}

class OxHttpsrvRoutesModels : public testing::TestWithParam<ThreadModel> {};

INSTANTIATE_TEST_SUITE_P(
    ThreadModels, OxHttpsrvRoutesModels,
    testing::ValuesIn(oxtest::all_thread_models()),
    [](const testing::TestParamInfo<ThreadModel> &p) {
      return oxtest::thread_model_name(p.param);
    });

TEST_P(OxHttpsrvRoutesModels, ConcurrentRoutedRequestsKeepTheirOwnCaptures) {
  oxtest::ServerOptions o = routed(GetParam());
  o.configure = [](ox_httpsrv *s) {
    add_routes(s);
    EXPECT_EQ(ox_httpsrv_add_route(s, "GET", "/iso/(?P<id>[0-9]+)",
                                   [](void *, ox_httpreq *req, ox_httpres *) {
                                     EXPECT_EQ(ox_httpreq_isolate(
                                                   req, isolated_capture,
                                                   nullptr),
                                               0);
                                   },
                                   nullptr),
              0);
  };
  TestServer srv(nullptr, o);
  ASSERT_TRUE(srv.listening());
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        std::string id = std::to_string(t * 100 + i);
        bool iso = i % 2 == 1;
        oxtest::Response r = oxtest::http_get(
            srv.port(), (iso ? "/iso/" : "/users/") + id);
        std::string want = iso ? "isolated " + id
                               : "user GET var=" + id + " 0=" + id +
                                     " 1=(none)";
        if (r.status == 200 && r.body == want) ++good;
      }
    });
  }
  for (auto &c : clients) c.join();
  EXPECT_EQ(good.load(), 60);
}

}  // namespace

// A pattern that backtracks without end is stopped at its matching budget,
// and a path that makes it stop is answered 500 every time, never by
// whichever route or fallback the matcher happened to reach.
TEST(OxHttpsrvRoutes, PatternsThatBacktrackStopAtTheBudgetAndGet500) {
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_match_limit(s, 0), EINVAL);
    EXPECT_EQ(ox_httpsrv_add_route(s, "POST", "/(\\w+\\s?)*$", describe_route,
                                   const_cast<char *>("words")),
              0);
    EXPECT_EQ(ox_httpsrv_add_route(s, "GET", "/plain", describe_route,
                                   const_cast<char *>("plain")),
              0);
  };
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "fb"); },
                 o);
  ASSERT_TRUE(srv.listening());
  const std::string hostile = "/" + std::string(40, 'a') + "!";
  for (int i = 0; i < 3; ++i) {
    oxtest::Response r = oxtest::http_get(srv.port(), hostile);
    EXPECT_EQ(r.status, 500);
  }
  EXPECT_EQ(oxtest::http_get(srv.port(), "/plain").body, "plain GET var=(none) "
                                                         "0=(none) 1=(none)");
  // A path the pattern matches at once, for another method: 405.
  oxtest::Response r = oxtest::http_get(srv.port(), "/words");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.headers.get("Allow"), "POST");
  EXPECT_EQ(oxtest::http_get(srv.port(), "/other!").body, "fb");
  srv.stop();
  std::vector<std::string> errors = srv.errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[0].find("/(\\w+\\s?)*$"), std::string::npos) << errors[0];
}
