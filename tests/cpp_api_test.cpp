// The C++ interface (ombrix.hpp) over real HTTP: routes and their captures,
// the request and response views, exceptions kept out of the C library,
// isolation, authentication, setup errors, and many clients at once; then
// the owners of the data types.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.hpp"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

// The lines a server gave its error sink.
struct Sink {
  std::mutex mu;
  std::vector<std::string> lines;
  void attach(ombrix::server &srv) {
    srv.on_error([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mu);
      lines.emplace_back(line);
    });
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::exchange(lines, {});
  }
};

// "<method> id=<var id> 0=<capture 0> 1=<capture 1>"; absent ones are empty.
void describe(ombrix::request &req, ombrix::response &res) {
  res.send(std::string(req.method()) + " id=" + std::string(req.var("id")) +
           " 0=" + std::string(req.capture(0)) +
           " 1=" + std::string(req.capture(1)) + "\n");
}

oxtest::ParsedResponse exchange(uint16_t port, const std::string &method,
                                const std::string &target,
                                const std::string &extra = "") {
  oxtest::RawReply raw = oxtest::raw_exchange(
      port, method + " " + target +
                " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra +
                "\r\n");
  return oxtest::parse_response(raw.bytes);
}

int error_code(const std::function<void()> &fn, std::string *what = nullptr) {
  try {
    fn();
  } catch (const ombrix::error &e) {
    EXPECT_EQ(&std::generic_category(), &e.code().category());
    if (what != nullptr) *what = e.what();
    return e.code().value();
  }
  return 0;
}

TEST(OxHttpCpp, RoutesAnswerByMethodAndWholePathElseLibrary404Or405) {
  ombrix::server srv;
  srv.get("/users/(?P<id>[0-9]+)", describe);
  srv.del("/users/(?P<id>[0-9]+)", describe);
  srv.route("*", "/files/([a-z]+)(?:/([a-z]+))?", describe);
  srv.listen(0);
  struct Case {
    const char *method, *target;
    int status;
    const char *body, *allow;
  };
  for (const Case &c : std::vector<Case>{
           {"GET", "/users/42", 200, "GET id=42 0=42 1=\n", ""},
           {"HEAD", "/users/42", 200, "", ""},
           {"DELETE", "/users/7", 200, "DELETE id=7 0=7 1=\n", ""},
           {"POST", "/users/42", 405, "Method Not Allowed\n",
            "GET, HEAD, DELETE"},
           {"PATCH", "/files/a/b", 200, "PATCH id= 0=a 1=b\n", ""},
           {"GET", "/files/a", 200, "GET id= 0=a 1=\n", ""},
           {"GET", "/users/42/x", 404, "Not Found\n", ""},
           {"GET", "/users/", 404, "Not Found\n", ""},
       }) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    oxtest::ParsedResponse r = exchange(srv.port(), c.method, c.target);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.body, r.body);
    EXPECT_EQ(c.allow, r.headers.get("Allow"));
  }
}

TEST(OxHttpCpp, RequestViewsReadEveryPartOfTheRequest) {
  ombrix::server srv;
  srv.post("/echo", [](ombrix::request &req, ombrix::response &res) {
    res.header("X-Length", std::to_string(req.payload().size()));
    res.send(req.payload(), "application/octet-stream", 201);
  });
  srv.get("/look", [](ombrix::request &req, ombrix::response &res) {
    std::string out = "h=" + std::string(req.header("x-one")) +
                      " q=" + std::string(req.param("q")) +
                      " c=" + std::string(req.cookie("k")) +
                      " empty=" + std::to_string(req.params().contains("e")) +
                      " none=" + std::to_string(req.params().contains("z"));
    for (auto [name, value] : req.headers())
      if (name.substr(0, 2) == "X-")
        out += " " + std::string(name) + ":" + std::string(value);
    res.send(out);
  });
  srv.post("/form", [](ombrix::request &req, ombrix::response &res) {
    std::string out;
    req.fields().for_each([&](std::string_view n, std::string_view v) {
      out += std::string(n) + "=" + std::string(v) + ";";
    });
    res.send(out);
  });
  srv.listen(0);

  const std::string bytes("a\0b\0\xff", 5);
  oxtest::Response echo = oxtest::http_post(srv.port(), "/echo", bytes);
  EXPECT_EQ(201, echo.status) << echo.error;
  EXPECT_EQ(bytes, echo.body);
  EXPECT_EQ("5", echo.headers.get("X-Length"));

  oxtest::Request look;
  look.target = "/look?q=1&q=2&e=";
  look.headers = {"X-One: 1", "X-Two: two", "Cookie: k=v"};
  oxtest::Response r = oxtest::http(srv.port(), look);
  EXPECT_EQ("h=1 q=1 c=v empty=1 none=0 X-One:1 X-Two:two", r.body) << r.error;

  oxtest::Response form = oxtest::http_post(
      srv.port(), "/form", "a=1&b=x+y", "application/x-www-form-urlencoded");
  EXPECT_EQ("a=1;b=x y;", form.body) << form.error;
}

TEST(OxHttpCpp, ExceptionInAHandlerIs500ToldToTheSinkAndServingGoesOn) {
  Sink sink;
  ombrix::server srv;
  sink.attach(srv);
  srv.get("/boom", [](ombrix::request &, ombrix::response &res) {
    res.header("X-Leak", "1");
    throw std::runtime_error("boom");
  });
  srv.get("/int", [](ombrix::request &, ombrix::response &) { throw 42; });
  srv.get("/late", [](ombrix::request &, ombrix::response &res) {
    res.send("sent\n");
    throw std::logic_error("after the send");
  });
  srv.fallback([](ombrix::request &req, ombrix::response &) {
    if (req.path() == "/fb") throw std::runtime_error("fallback");
  });
  srv.get("/ok",
          [](ombrix::request &, ombrix::response &res) { res.send("ok"); });
  srv.listen(0);
  struct Case {
    const char *target;
    long status;
    const char *body, *line;
  };
  for (const Case &c : std::vector<Case>{
           {"/boom", 500, "Internal Server Error\n",
            "ombrix: exception in GET /boom: boom"},
           {"/int", 500, "Internal Server Error\n",
            "ombrix: exception in GET /int: unknown exception"},
           {"/late", 200, "sent\n",
            "ombrix: exception in GET /late: after the send"},
           {"/fb", 500, "Internal Server Error\n",
            "ombrix: exception in GET /fb: fallback"},
           {"/ok", 200, "ok", nullptr},
       }) {
    SCOPED_TRACE(c.target);
    oxtest::Response r = oxtest::http_get(srv.port(), c.target);
    EXPECT_EQ(c.status, r.status) << r.error;
    EXPECT_EQ(c.body, r.body);
    EXPECT_FALSE(r.headers.has("X-Leak"));
    EXPECT_EQ("text/plain", r.headers.get("Content-Type"));
    std::vector<std::string> lines = sink.take();
    EXPECT_EQ(
        c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{},
        lines);
  }
}

TEST(OxHttpCpp, IsolatedCallableRunsAndItsExceptionIs500) {
  Sink sink;
  std::atomic<int> again{0};
  ombrix::server srv;
  sink.attach(srv);
  srv.get("/iso/(?P<what>[a-z]+)",
          [&](ombrix::request &req, ombrix::response &) {
            req.isolate([](ombrix::request &r, ombrix::response &res) {
              if (r.var("what") == "boom") throw std::runtime_error("bad");
              res.send("isolated " + std::string(r.var("what")));
            });
            again = error_code([&] { req.isolate([](auto &, auto &) {}); });
          });
  srv.listen(0);
  oxtest::Response ok = oxtest::http_get(srv.port(), "/iso/fine");
  EXPECT_EQ(200, ok.status) << ok.error;
  EXPECT_EQ("isolated fine", ok.body);
  EXPECT_EQ(EALREADY, again.load());
  oxtest::Response boom = oxtest::http_get(srv.port(), "/iso/boom");
  EXPECT_EQ(500, boom.status) << boom.error;
  EXPECT_EQ(
      std::vector<std::string>{
          "ombrix: exception in isolated GET /iso/boom: bad"},
      sink.take());
}

TEST(OxHttpCpp, AuthenticatorLetsThroughDeniesOrFailsWith500) {
  Sink sink;
  ombrix::server srv;
  sink.attach(srv);
  srv.authenticate([](ombrix::auth &a, ombrix::request &, ombrix::response &) {
    if (a.user() == "boom") throw std::runtime_error("auth");
    if (a.user() == "qvk" && a.password() == "748") return true;
    a.realm("R");
    a.deny(a.has_credentials() ? "wrong\n" : "none\n");
    return false;
  });
  srv.get("/",
          [](ombrix::request &, ombrix::response &res) { res.send("in"); });
  srv.listen(0);
  struct Case {
    const char *user, *password;
    long status;
    const char *body, *challenge;
  };
  for (const Case &c : std::vector<Case>{
           {"qvk", "748", 200, "in", ""},
           {"qvk", "749", 401, "wrong\n", "Basic realm=\"R\""},
           {"", "", 401, "none\n", "Basic realm=\"R\""},
           {"boom", "x", 500, "Internal Server Error\n", ""},
       }) {
    SCOPED_TRACE(c.user);
    oxtest::Request req;
    req.user = c.user;
    req.password = c.password;
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_EQ(c.status, r.status) << r.error;
    EXPECT_EQ(c.body, r.body);
    EXPECT_EQ(c.challenge, r.headers.get("WWW-Authenticate"));
  }
  EXPECT_EQ(
      std::vector<std::string>{
          "ombrix: exception in authentication of GET /: auth"},
      sink.take());
}

TEST(OxHttpCpp, SetupFailuresThrowTheirErrnoAndChangeNothing) {
  ombrix::server busy;
  busy.listen(0);
  ombrix::server srv;
  auto noop = [](ombrix::request &, ombrix::response &) {};
  std::string groups17;
  for (int i = 0; i < 17; ++i) groups17 += "(a)";
  struct Case {
    const char *what;
    std::function<void()> fn;
    int code;
    std::string text;  // what(): the C function and the server's reason
  };
  for (const Case &c : std::vector<Case>{
           {"bad pattern", [&] { srv.get("/(", noop); }, EINVAL,
            "ox_httpsrv_add_route: the pattern \"/(\" does not compile at "
            "offset 2: missing closing parenthesis"},
           {"17 groups", [&] { srv.get(groups17, noop); }, EINVAL,
            "ox_httpsrv_add_route: the pattern \"" + groups17 +
                "\" has 17 groups: a route may have 16"},
           {"empty method", [&] { srv.route("", "/", noop); }, EINVAL,
            "ox_httpsrv_add_route: a route needs a method, a pattern and a "
            "callback"},
           {"memory below 4 KiB", [&] { srv.set_connection_memory_limit(100); },
            EINVAL,
            "ox_httpsrv_set_con_mem_limit: 100 bytes of connection memory "
            "are too few: at least 4096 are needed"},
           {"no isolation thread", [&] { srv.set_isolate_limits(0, 1); },
            EINVAL,
            "ox_httpsrv_set_isolate_limits: isolated requests need at least "
            "one thread"},
           {"empty upload dir", [&] { srv.set_upload_dir(""); }, EINVAL,
            "ox_httpsrv_set_upld_dir: the upload directory has no name"},
           {"busy port", [&] { srv.listen(busy.port()); }, EADDRINUSE,
            "ox_httpsrv_listen2: cannot listen on port " +
                std::to_string(busy.port()) + ": " + strerror(EADDRINUSE)},
           {"bind to a mistyped address",
            [&] { srv.set_bind_address("127.0.0"); }, EINVAL,
            "ox_httpsrv_set_bind_addr: \"127.0.0\" is no IPv4 or IPv6 "
            "address, nor a host name"},
           {"no certificate file",
            [&] { srv.set_tls("/nonexistent/c.pem", "/nonexistent/k.pem"); },
            ENOENT,
            "ox_httpsrv_set_tls: cannot read /nonexistent/c.pem: " +
                std::string(strerror(ENOENT))},
           {"drain before listen", [&] { srv.drain(std::chrono::seconds(1)); },
            EINVAL, "ox_httpsrv_drain: the server does not listen"},
           {"SNI for no host name",
            [&] { srv.set_tls_sni("a b", "/nonexistent/c.pem", "/k.pem"); },
            EINVAL,
            "ox_httpsrv_set_tls_sni: \"a b\" is no DNS name, nor \"*.\" "
            "before one"},
           {"metrics path without its slash",
            [&] { srv.add_metrics_route("metrics"); }, EINVAL,
            "ox_httpsrv_add_metrics_route: the path must begin with '/'"},
       }) {
    SCOPED_TRACE(c.what);
    std::string text;
    EXPECT_EQ(c.code, error_code(c.fn, &text));
    EXPECT_EQ(c.text, text);
  }
  // None of the failures above left a route or a setting behind.
  srv.get("/",
          [](ombrix::request &, ombrix::response &res) { res.send("up"); });
  srv.listen(0);
  EXPECT_EQ("up", oxtest::http_get(srv.port(), "/").body);
  for (const auto &fn : std::vector<std::function<void()>>{
           [&] { srv.get("/x", noop); }, [&] { srv.fallback(noop); },
           [&] { srv.set_thread_pool_size(2); }, [&] { srv.listen(0); }}) {
    std::string text;
    EXPECT_EQ(EALREADY, error_code(fn, &text));
    EXPECT_NE(text.find(": the server listens already"), std::string::npos)
        << text;
  }
  // Without a reason, what() is std::system_error's.
  EXPECT_STREQ(ombrix::error(ENOMEM, "ox_str_write").what(),
               ("ox_str_write: " + std::string(strerror(ENOMEM))).c_str());
}

TEST(OxHttpCpp, MetricsAndReadinessAsTheCServerHasThem) {
  ombrix::server srv;
  // A request is counted once its reply is out; with one serving thread
  // that is before the next request, so the scrape sees every one.
  srv.set_thread_pool_size(1);
  srv.add_metrics_route("/metrics");
  srv.add_ready_route("/ready");
  srv.get("/", [](ombrix::request &, ombrix::response &res) { res.send("up"); });
  srv.listen(0);
  EXPECT_EQ("up", oxtest::http_get(srv.port(), "/").body);
  EXPECT_EQ(200, oxtest::http_get(srv.port(), "/ready").status);
  srv.set_ready(false);
  EXPECT_EQ(503, oxtest::http_get(srv.port(), "/ready").status);
  // The requests so far, served by routes: "/" and "/ready" twice.
  std::string text = srv.metrics();
  EXPECT_NE(text.find("ombrix_http_requests_total{method=\"GET\",code=\"2xx\"} 2"),
            std::string::npos)
      << text;
  EXPECT_NE(oxtest::http_get(srv.port(), "/metrics")
                .body.find("ombrix_http_route_requests_total{method=\"GET\","
                           "route=\"/\",code=\"2xx\"} 1"),
            std::string::npos);
}

TEST(OxHttpCpp, HooksCorsAndStatusPagesWithLambdas) {
  Sink sink;
  ombrix::server srv;
  sink.attach(srv);
  srv.put("/notes/(?<id>[0-9]+)", [](ombrix::request &req,
                                     ombrix::response &res) {
    res.send("stored " + std::string(req.var("id")));
  });
  srv.before([](ombrix::request &req, ombrix::response &res) {
    if (req.var("id") == "9") throw std::runtime_error("no nines");
    if (req.var("id") != "404") return true;
    res.send("no such note", "text/plain", 404);
    return false;
  });
  srv.after([](ombrix::request &, ombrix::response &res) {
    res.set_header("X-Status", std::to_string(res.status()));
    if (res.status() == 405) res.replace_body("{\"error\":405}", "application/json");
  });
  ombrix::server::cors_options cors;
  cors.allow = [](std::string_view origin) {
    return origin == "https://notes.example";
  };
  cors.max_age = std::chrono::minutes(10);
  srv.cors(cors);
  srv.status_page(404, "<p>none</p>");
  EXPECT_THROW(srv.status_page(200, "x"), ombrix::error);
  srv.listen(0);

  oxtest::Request put;
  put.method = "PUT";
  put.target = "/notes/404";
  put.body = std::string(300000, 'n');
  oxtest::Response refused = oxtest::http(srv.port(), put);
  EXPECT_EQ(refused.status, 404);
  EXPECT_EQ(refused.body, "no such note");
  put.target = "/notes/9";
  EXPECT_EQ(oxtest::http(srv.port(), put).status, 500);
  put.target = "/notes/1";
  put.body = "text";
  put.headers = {"Origin: https://notes.example"};
  oxtest::Response stored = oxtest::http(srv.port(), put);
  EXPECT_EQ(stored.body, "stored 1");
  EXPECT_EQ(stored.headers.get("X-Status"), "200");
  EXPECT_EQ(stored.headers.get("Access-Control-Allow-Origin"),
            "https://notes.example");

  oxtest::Request get;
  get.target = "/notes/1";
  get.headers = put.headers;
  oxtest::Response not_allowed = oxtest::http(srv.port(), get);
  EXPECT_EQ(not_allowed.status, 405);
  EXPECT_EQ(not_allowed.body, "{\"error\":405}");
  EXPECT_EQ(not_allowed.headers.get("Allow"), "PUT");
  EXPECT_EQ(not_allowed.headers.get("Access-Control-Allow-Origin"),
            "https://notes.example");
  get.target = "/elsewhere";
  oxtest::Response missing = oxtest::http(srv.port(), get);
  EXPECT_EQ(missing.body, "<p>none</p>");
  EXPECT_EQ(missing.headers.get("Content-Type"), "text/html");
  get.method = "OPTIONS";
  get.headers.push_back("Access-Control-Request-Method: PUT");
  oxtest::Response preflight = oxtest::http(srv.port(), get);
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(preflight.headers.get("Access-Control-Max-Age"), "600");

  bool told = false;
  for (const std::string &line : sink.take()) {
    told = told || line.find("no nines") != std::string::npos;
  }
  EXPECT_TRUE(told);
}

TEST(OxHttpCpp, SendDirServesTheTreeWithTheServersTypesAndGzip) {
  // Declared before the server, so it outlives every handler call.
  std::string root = OX_SOURCE_DIR "/examples";
  ombrix::server srv;
  srv.set_compression(9);
  srv.set_mime("cpp", "text/x-c++src");
  EXPECT_EQ(EINVAL, error_code([&] { srv.set_mime("a/b", "x/y"); }));
  EXPECT_EQ("text/x-c++src", srv.mime("a.CPP"));
  srv.fallback([&](ombrix::request &req, ombrix::response &res) {
    res.send_dir(root, req.path());
  });
  srv.listen(0);
  oxtest::ParsedResponse r = exchange(srv.port(), "GET", "/fileserve.cpp",
                                      "Accept-Encoding: gzip\r\n");
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("gzip", r.headers.get("Content-Encoding"));
  EXPECT_EQ("text/x-c++src", r.headers.get("Content-Type"));
  EXPECT_EQ(404, exchange(srv.port(), "GET", "/../README.md").status);
}

TEST(OxHttpCpp, AccessLoggerSeesThePeerAndDrainStopsTheServer) {
  std::mutex mu;
  std::vector<std::string> seen;
  std::atomic<int> logged{0};
  ombrix::server srv;
  srv.set_bind_address("127.0.0.1");
  srv.get("/who", [](ombrix::request &req, ombrix::response &res) {
    res.send(std::string(req.peer()));
  });
  srv.on_access([&](const ombrix::access_record &rec) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(std::string(rec.method()) + " " + std::string(rec.path()) +
                   " " + std::to_string(rec.status()) + " " +
                   std::to_string(rec.bytes()) + " " + std::string(rec.peer()));
    logged++;
  });
  srv.listen(0);
  EXPECT_EQ("127.0.0.1", oxtest::http_get(srv.port(), "/who").body);
  for (int i = 0; i < 1000 && logged < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(0u, srv.drain(std::chrono::seconds(5)));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(std::vector<std::string>{"GET /who 200 9 127.0.0.1"}, seen);
  EXPECT_EQ(EINVAL, error_code([&] { srv.drain(std::chrono::seconds(1)); }));
}

TEST(OxHttpCpp, CookieOptionsLogIdAndTheRecordsHeaders) {
  std::mutex mu;
  std::string seen;
  std::atomic<int> logged{0};
  ombrix::server srv;
  srv.get("/notes", [](ombrix::request &req, ombrix::response &res) {
    ombrix::cookie_options o;
    o.path = "/notes";
    o.max_age = std::chrono::hours(1);
    o.expires = std::chrono::system_clock::from_time_t(784111777);
    o.secure = true;
    o.same_site = ombrix::cookie_same_site::none;
    res.cookie("sid", "abc", o);
    res.cookie("plain", "1");
    res.delete_cookie("old");
    res.delete_cookie("sid", o);
    o.secure = false;
    ombrix::cookie_options bad_path;
    bad_path.path = "/;";
    int refused = error_code([&] { res.cookie("x", "1", o); }) +
                  error_code([&] { res.delete_cookie("x", bad_path); }) +
                  error_code([&] { req.set_log_id("a\nb"); });
    req.set_log_id(req.header("X-Request-Id"));
    res.send(std::to_string(refused));
  });
  srv.on_access([&](const ombrix::access_record &rec) {
    std::lock_guard<std::mutex> lock(mu);
    seen = std::string(rec.target()) + " " +
           std::string(rec.header("user-agent")) + " [" +
           std::string(rec.header("X-None")) + "] " + std::string(rec.id());
    logged++;
  });
  srv.listen(0);
  oxtest::Request req;
  req.target = "/notes?limit=2";
  req.headers = {"User-Agent: notes/1", "X-Request-Id: r-1"};
  oxtest::Response r = oxtest::http(srv.port(), req);
  EXPECT_EQ(std::to_string(3 * EINVAL), r.body) << r.error;
  EXPECT_EQ((std::vector<std::string>{
                "sid=abc; Path=/notes; Max-Age=3600; "
                "Expires=Sun, 06 Nov 1994 08:49:37 GMT; Secure; HttpOnly; "
                "SameSite=None",
                "plain=1; Path=/; HttpOnly; SameSite=Lax",
                "old=; Path=/; Max-Age=0; "
                "Expires=Thu, 01 Jan 1970 00:00:00 GMT; HttpOnly; SameSite=Lax",
                "sid=; Path=/notes; Max-Age=0; "
                "Expires=Thu, 01 Jan 1970 00:00:00 GMT; Secure; HttpOnly; "
                "SameSite=None"}),
            r.headers.all("Set-Cookie"));
  for (int i = 0; i < 1000 && logged < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ("/notes?limit=2 notes/1 [] r-1", seen);
}

TEST(OxHttpCpp, LogToWritesCombinedLines) {
  char *text = nullptr;
  size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  ASSERT_NE(nullptr, out);
  {
    ombrix::server srv;
    srv.log_to(out, ombrix::log_format::combined);
    srv.listen(0);
    oxtest::Request req;
    req.target = "/x?y=1";
    req.headers = {"Referer: http://r/", "User-Agent: ua"};
    EXPECT_EQ(404, oxtest::http(srv.port(), req).status);
    // The server's destructor waits for every callback.
  }
  std::fclose(out);
  std::string line(text, size);
  std::free(text);
  EXPECT_NE(std::string::npos,
            line.find("\"GET /x?y=1 HTTP/1.1\" 404 10 \"http://r/\" \"ua\"\n"))
      << line;
}

// With the C++ defaults a handler that blocks holds up its own client
// only: another client is served while it waits on the gate.
TEST(OxHttpCpp, DefaultPoolServesAnotherClientWhileAHandlerBlocks) {
  if (std::thread::hardware_concurrency() < 2) {
    GTEST_SKIP() << "one core: the default pool has one thread";
  }
  oxtest::Gate gate;
  oxtest::Counter entered;
  std::atomic<bool> released{false};
  ombrix::server srv;  // no set_thread_pool_size(): the default
  srv.get("/slow", [&](ombrix::request &, ombrix::response &res) {
    entered.add();
    gate.wait(60000);
    released = true;
    res.send("slow");
  });
  srv.get("/fast", [&](ombrix::request &, ombrix::response &res) {
    res.send(released ? "after the gate" : "fast");
  });
  srv.listen(0);
  oxtest::Response slow;
  std::thread client([&] { slow = oxtest::http_get(srv.port(), "/slow"); });
  EXPECT_EQ(entered.wait_for(1, 10000), 1);
  oxtest::Request fast;
  fast.target = "/fast";
  fast.timeout_ms = 10000;
  oxtest::Response r = oxtest::http(srv.port(), fast);
  EXPECT_EQ(r.body, "fast") << r.error;
  gate.open();
  client.join();
  EXPECT_EQ(slow.body, "slow");
}

// find_*() tell an absent name from an empty value; var_as() and
// param_as() read an integer whole or not at all.
TEST(OxHttpCpp, LookupsTellAbsentFromEmptyAndTypedReadsRefuseBadNumbers) {
  ombrix::server srv;
  srv.get("/items/(?<id>[^/]*)", [](ombrix::request &req,
                                    ombrix::response &res) {
    auto text = [](std::optional<std::string_view> v) {
      return v ? "'" + std::string(*v) + "'" : std::string("-");
    };
    auto num = [](auto v) { return v ? std::to_string(*v) : std::string("-"); };
    res.send("id=" + num(req.var_as<int>("id")) +
             " u=" + num(req.var_as<unsigned int>("id")) +
             " limit=" + text(req.find_param("limit")) +
             " n=" + num(req.param_as<short>("limit")) +
             " h=" + text(req.find_header("X-Tag")) +
             " c=" + text(req.find_cookie("sid")) +
             " g=" + num(req.var_as<int>("nope")));
  });
  srv.listen(0);
  struct Case {
    const char *target, *extra, *want;
  } cases[] = {
      {"/items/42?limit=10", "X-Tag: a\r\nCookie: sid=s1\r\n",
       "id=42 u=42 limit='10' n=10 h='a' c='s1' g=-"},
      {"/items/-7?limit=", "X-Tag:\r\nCookie: sid=\r\n",
       "id=-7 u=- limit='' n=- h='' c='' g=-"},
      {"/items/2147483648?limit=32768", "",
       "id=- u=2147483648 limit='32768' n=- h=- c=- g=-"},
      {"/items/12x?limit=%2B1", "", "id=- u=- limit='+1' n=- h=- c=- g=-"},
      {"/items/?limit=%2010", "", "id=- u=- limit=' 10' n=- h=- c=- g=-"},
      {"/items/007?limit=-32768", "",
       "id=7 u=7 limit='-32768' n=-32768 h=- c=- g=-"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(c.want, exchange(srv.port(), "GET", c.target, c.extra).body);
  }
}

// Servers drained together: a body trickling into each is cut on each,
// and a list the drain refuses leaves every server as it was.  Also a
// bind by name, and the addresses it bound.
TEST(OxHttpCpp, DrainOfSeveralServersCutsEachAndRefusesBadLists) {
  ombrix::server a, b, idle;
  oxtest::Counter heads;
  for (ombrix::server *srv : {&a, &b, &idle}) {
    srv->set_bind_address("localhost");
    srv->before([&](ombrix::request &, ombrix::response &) {
      heads.add();
      return true;
    });
    srv->post("/up", [](ombrix::request &, ombrix::response &res) {
      res.send("ok");
    });
    srv->listen(0);
  }
  std::string bound = idle.bound_addresses();
  EXPECT_NE(bound.find("127.0.0.1:" + std::to_string(idle.port())),
            std::string::npos)
      << bound;
  oxtest::RawConnection ta(a.port()), tb(b.port());
  for (oxtest::RawConnection *t : {&ta, &tb}) {
    ASSERT_TRUE(t->send("POST /up HTTP/1.1\r\nHost: x\r\n"
                        "Content-Length: 100\r\n\r\n0123"));
  }
  ASSERT_EQ(heads.wait_for(2, 10000), 2);
  EXPECT_EQ((std::vector<unsigned int>{1, 1}),
            ombrix::drain({&a, &b}, std::chrono::milliseconds(200)));
  for (oxtest::RawConnection *t : {&ta, &tb}) {
    t->read_to_close(5000);
    EXPECT_TRUE(t->peer_closed());
  }
  EXPECT_EQ(EINVAL, error_code([&] { a.bound_addresses(); }));
  for (const auto &list : std::vector<std::vector<ombrix::server *>>{
           {&idle, &a}, {&idle, &idle}, {&idle, nullptr}}) {
    EXPECT_EQ(EINVAL, error_code([&] {
                ombrix::drain(list, std::chrono::milliseconds(0));
              }));
  }
  EXPECT_EQ("ok", oxtest::http_post(idle.port(), "/up", "x").body);
}

TEST(OxHttpCpp, ResponseRefusesASecondSendAndBadInput) {
  std::mutex mu;
  std::string codes;
  ombrix::server srv;
  srv.get("/", [&](ombrix::request &, ombrix::response &res) {
    std::string seen;
    seen += std::to_string(error_code([&] { res.cookie("a b", "v"); })) + " ";
    seen +=
        std::to_string(error_code([&] { res.send_file("/nonexistent/x"); }));
    seen += " " + std::to_string(res.sent());
    res.cookie("k", "v");
    res.send("first");
    seen += " " + std::to_string(res.sent());
    seen += " " + std::to_string(error_code([&] { res.send("second"); }));
    std::lock_guard<std::mutex> lock(mu);
    codes = seen;
  });
  srv.listen(0);
  oxtest::Response r = oxtest::http_get(srv.port(), "/");
  EXPECT_EQ("first", r.body) << r.error;
  EXPECT_EQ("k=v; Path=/; HttpOnly; SameSite=Lax", r.headers.get("Set-Cookie"));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(std::to_string(EINVAL) + " " + std::to_string(ENOENT) + " 0 1 " +
                std::to_string(EALREADY),
            codes);
}

TEST(OxHttpCpp, StreamEndsWhenTheReaderSaysAndBreaksOnItsException) {
  Sink sink;
  ombrix::server srv;
  sink.attach(srv);
  srv.get("/(ok|bad)", [](ombrix::request &req, ombrix::response &res) {
    bool bad = req.capture(0) == "bad";
    res.stream([bad, n = 0](std::uint64_t, char *buf,
                            std::size_t size) mutable -> ssize_t {
      if (n == 3) return ombrix::end_of_stream();
      if (bad && n == 1) throw std::runtime_error("reader");
      if (size < 3) return 0;
      ++n;
      std::memcpy(buf, "abc", 3);
      return 3;
    });
  });
  srv.listen(0);
  oxtest::ParsedResponse ok = exchange(srv.port(), "GET", "/ok");
  EXPECT_TRUE(ok.complete);
  EXPECT_EQ("abcabcabc", ok.body);
  EXPECT_TRUE(sink.take().empty());
  oxtest::ParsedResponse bad = exchange(srv.port(), "GET", "/bad");
  EXPECT_FALSE(bad.complete);
  EXPECT_EQ("abc", bad.body);
  // libmicrohttpd then tells why it closed the connection.
  std::vector<std::string> lines = sink.take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("ombrix: exception in a stream reader: reader", lines[0]);
}

// A push stream is written from any thread and ends with its owner; its
// gone callable runs once (for a HEAD as soon as the handler returns, and
// it may erase the stream it was set on), and what it throws goes to the
// error sink.
TEST(OxHttpCpp, PushStreamIsWrittenFromAnyThreadAndEndsWithItsOwner) {
  Sink sink;
  ombrix::server srv;
  sink.attach(srv);
  ASSERT_EQ(0, ox_httpsrv_set_ws_timeouts(srv.native(), 1, 0));
  std::mutex mu;
  std::condition_variable changed;
  std::list<ombrix::push_stream> streams;
  int gone = 0;
  srv.get("/(keep|throw)", [&](ombrix::request &req, ombrix::response &res) {
    bool throws = req.capture(0) == "throw";
    std::lock_guard<std::mutex> lock(mu);
    auto at = streams.insert(streams.end(),
                             res.push("text/event-stream", ": ping\n\n"));
    changed.notify_all();
    // Under the lock the callable takes: it runs after this handler.
    at->on_gone([&, at, throws] {
      {
        std::lock_guard<std::mutex> relock(mu);
        ++gone;
        streams.erase(at);
        changed.notify_all();
      }
      if (throws) throw std::runtime_error("boom");
    });
  });
  srv.listen(0);
  auto reaches = [&](size_t open, int gones) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(15), [&] {
      return streams.size() == open && gone == gones;
    });
  };

  EXPECT_EQ(200, exchange(srv.port(), "HEAD", "/keep").status);
  EXPECT_TRUE(reaches(0, 1));

  oxtest::RawConnection keep(srv.port());
  ASSERT_TRUE(keep.send("GET /keep HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(reaches(1, 1));
  std::list<ombrix::push_stream> taken;
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(streams.front().write("data: 1\n\n"));
    ombrix::push_stream moved = std::move(streams.front());
    EXPECT_FALSE(streams.front().write("lost"));
    streams.front() = std::move(moved);
    taken.swap(streams);
  }
  taken.clear();  // ends it, outside the lock its gone callable takes
  keep.read_until([](const std::string &b) {
    return b.size() >= 5 && b.compare(b.size() - 5, 5, "0\r\n\r\n") == 0;
  }, 10000);
  oxtest::ParsedResponse ended = oxtest::parse_response(keep.received());
  EXPECT_TRUE(ended.complete);
  EXPECT_EQ("data: 1\n\n", ended.body);

  auto leaving = std::make_unique<oxtest::RawConnection>(srv.port());
  ASSERT_TRUE(leaving->send("GET /throw HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(reaches(1, 1));
  leaving.reset();
  EXPECT_TRUE(reaches(0, 2));
  // The line follows the callable's throw, after the count it made.
  const std::string boom =
      "ombrix: exception in a push stream's gone callable: boom";
  std::vector<std::string> lines;
  for (int i = 0; i < 1000; ++i) {
    std::vector<std::string> more = sink.take();
    lines.insert(lines.end(), more.begin(), more.end());
    if (std::find(lines.begin(), lines.end(), boom) != lines.end()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), boom));
}

// Under ThreadSanitizer too (make tsan): handlers of one server on a pool of
// four threads, each reply made of its own request's captures.
TEST(OxHttpCpp, ConcurrentRoutedRequestsOnAPoolKeepTheirOwnCaptures) {
  ombrix::server srv;
  srv.set_thread_pool_size(4);
  for (int r = 0; r < 3; ++r) {
    srv.get("/r" + std::to_string(r) + "/(?P<t>[0-9]+)/([0-9]+)",
            [r](ombrix::request &req, ombrix::response &res) {
              res.send(std::to_string(r) + ":" + std::string(req.var("t")) +
                       "-" + std::string(req.capture(1)));
            });
  }
  srv.listen(0);
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 9; ++i) {
        std::string want = std::to_string(i % 3) + ":" + std::to_string(t) +
                           "-" + std::to_string(i);
        oxtest::Response r = oxtest::http_get(
            srv.port(), "/r" + std::to_string(i % 3) + "/" + std::to_string(t) +
                            "/" + std::to_string(i));
        if (r.status == 200 && r.body == want) ++good;
      }
    });
  }
  for (std::thread &c : clients) c.join();
  EXPECT_EQ(36, good.load());
}

TEST(OxHttpCpp, UploadSavesWhereAskedAndBodyGoesToTheCallable) {
  char tmpl[] = "/tmp/ox-cpp-save.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl;
  Sink sink;
  {
  std::string got;  // the serving thread's alone until the server is freed
  ombrix::server srv;
  sink.attach(srv);
  srv.set_upload_dir(dir);
  srv.authenticate([&got](ombrix::auth &, ombrix::request &req,
                          ombrix::response &) {
    if (req.path() != "/sink") return true;
    std::function<void(std::string_view)> fn = [&got](std::string_view piece) {
      if (piece.find('!') != std::string_view::npos)
        throw ombrix::error(EBADMSG, "a bang");
      got += piece;
    };
    req.on_body(std::move(fn));
    EXPECT_EQ(EALREADY, error_code([&] { req.on_body([](std::string_view) {}); }));
    return true;
  });
  srv.post("/up", [&dir](ombrix::request &req, ombrix::response &res) {
    std::string trace;
    for (ombrix::upload u : req.uploads()) {
      std::ifstream tmp{std::string(u.path())};
      trace += std::string(std::istreambuf_iterator<char>(tmp), {}) + " ";
      std::string to = dir + "/" + ombrix::safe_filename(u.name());
      u.save_as(to);
      trace += std::string(u.path() == to ? "moved" : "stayed") + " " +
               std::to_string(error_code([&] { u.save_as(to, true); }));
    }
    res.send(trace);
  });
  srv.post("/sink", [&got](ombrix::request &req, ombrix::response &res) {
    res.send(got + " " + std::to_string(req.payload().size()));
  });
  srv.listen(0);
  oxtest::Request up;
  up.method = "POST";
  up.target = "/up";
  up.form = {{"f", "data", "../../.x.txt", "text/plain", 0, {}}};
  EXPECT_EQ("data moved " + std::to_string(EALREADY),
            oxtest::http(srv.port(), up).body);
  EXPECT_EQ("abc 0", oxtest::http_post(srv.port(), "/sink", "abc").body);
  EXPECT_EQ(400, oxtest::http_post(srv.port(), "/sink", "no!").status);
  }
  EXPECT_EQ("", ombrix::safe_filename(".."));
  std::ifstream saved(dir + "/x.txt");
  EXPECT_EQ("data", std::string(std::istreambuf_iterator<char>(saved), {}));
  EXPECT_EQ(std::vector<std::string>{"ombrix: exception in the body reader of "
                                     "POST /sink: a bang: Bad message"},
            sink.take());
  std::filesystem::remove_all(dir);
}

// ------------------------------------------------------------- data types

TEST(OxCppTypes, StrAndStrmapWrapTheirCFamilies) {
  ombrix::str s;
  s.write(std::string_view("a\0b", 3)).write("").printf("-%d", 42);
  EXPECT_EQ(std::string_view("a\0b-42", 6), s.view());

  ombrix::strmap m;
  m.add("b", "1");
  m.add("a", "2");
  m.add("B", "3");
  m.set("a", "4");
  m.sort([](const ombrix::pair_view &x, const ombrix::pair_view &y) {
    return x.second > y.second;
  });
  std::string walk;
  for (auto [name, value] : m.view())
    walk += std::string(name) + "=" + std::string(value) + " ";
  EXPECT_EQ("a=4 B=3 b=1 ", walk);
  EXPECT_EQ("3", m.get("b"));  // the first "b" in the new order
  EXPECT_TRUE(m.contains("A"));
  EXPECT_EQ("", m.get("zz"));
  EXPECT_THROW(
      m.view().for_each([](auto, auto) { throw std::out_of_range("x"); }),
      std::out_of_range);
}

TEST(OxCppTypes, RouterAndEntrypointsDispatchFindAndRethrow) {
  ombrix::router r;
  std::string trace;
  r.add("/u/(?P<id>[0-9]+)", [&](ombrix::route &rt) {
    rt.for_each_var([&](std::string_view n, std::string_view v) {
      trace += std::string(rt.path()) + "{" + std::string(n) + "=" +
               std::string(v) + "}";
    });
  });
  r.add("/boom", [](ombrix::route &) { throw std::runtime_error("route"); });
  EXPECT_EQ(EINVAL, error_code([&] { r.add("(", [](ombrix::route &) {}); }));
  EXPECT_TRUE(r.dispatch("/u/7"));
  EXPECT_FALSE(r.dispatch("/u/x"));
  EXPECT_THROW(r.dispatch("/boom"), std::runtime_error);
  EXPECT_EQ("/u/7{id=7}", trace);

  ombrix::entrypoints e;
  int one = 1;
  e.add("/r1/x", &one);
  EXPECT_EQ(EALREADY, error_code([&] { e.add("/r1"); }));
  ombrix::entrypoint found = e.find("/r1/deep/path");
  ASSERT_TRUE(found);
  EXPECT_EQ("/r1", found.name());
  EXPECT_EQ(&one, found.user_data());
  EXPECT_FALSE(e.find("/r2"));
  EXPECT_TRUE(e.remove("/r1"));
  EXPECT_FALSE(e.remove("/r1"));
}

}  // namespace
