// Hooks around every request, CORS and status pages: what a client sees on
// the wire from the library's own replies once a program decorates them,
// and a body refused on the head before it is sent.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ombrix.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::TestServer;

std::atomic<int> note_calls{0};

// GET/PUT /notes/<id>: "note <id>", and a counter of handler calls.
void serve_note(void *, ox_httpreq *req, ox_httpres *res) noexcept {
  note_calls++;
  size_t len = 0;
  const char *id = ox_httpreq_var(req, "id", &len);
  std::string body = "note " + std::string(id, len);
  // Outside the after hook a body cannot be swapped.
  EXPECT_EQ(ox_httpres_replace_body(res, "x", 1, nullptr), EALREADY);
  ox_httpres_sendbinary(res, body.data(), body.size(), "text/plain", 200);
}

void add_note_routes(ox_httpsrv *srv) {
  for (const char *method : {"GET", "PUT"}) {
    ASSERT_EQ(ox_httpsrv_add_route(srv, method, "/notes/(?<id>[0-9]+)",
                                   serve_note, nullptr),
              0);
  }
  ASSERT_EQ(ox_httpsrv_set_payld_limit(srv, 1024), 0);
}

// Marks every reply with its status, and gives the 404 a body of its own.
void mark_reply(void *, ox_httpreq *, ox_httpres *res) noexcept {
  unsigned int status = ox_httpres_status(res);
  std::string seen = std::to_string(status);
  ox_strmap_add(ox_httpres_headers(res), "X-Seen", seen.c_str());
  if (status == 404) {
    EXPECT_EQ(ox_httpres_replace_body(res, "gone", 4, "text/x-gone"), 0);
  }
}

bool deny_secret(ox_httpauth *auth, ox_httpreq *req, ox_httpres *) {
  if (strcmp(ox_httpreq_path(req), "/secret") != 0) return true;
  EXPECT_EQ(ox_httpauth_deny(auth, "no entry", "text/plain"), 0);
  return false;
}

TEST(OxHttphooks, AfterHookSeesTheLibrarysRepliesToo) {
  oxtest::ServerOptions o;
  o.auth = deny_secret;
  o.configure = [](ox_httpsrv *srv) {
    add_note_routes(srv);
    ASSERT_EQ(ox_httpsrv_set_after(srv, mark_reply, nullptr), 0);
  };
  TestServer srv(nullptr, o);
  ASSERT_TRUE(srv.listening());
  EXPECT_EQ(ox_httpsrv_set_after(srv.get(), nullptr, nullptr), EALREADY);

  struct Case {
    const char *method, *target;
    size_t body;
    long status;
    const char *want_body;  // nullptr: not checked
  } cases[] = {
      {"GET", "/notes/7", 0, 200, "note 7"},
      {"GET", "/nowhere", 0, 404, "gone"},
      {"HEAD", "/nowhere", 0, 404, ""},
      {"DELETE", "/notes/7", 0, 405, nullptr},
      {"PUT", "/notes/7", 4096, 413, nullptr},
      {"GET", "/secret", 0, 401, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    oxtest::Request rq;
    rq.method = c.method;
    rq.target = c.target;
    rq.body.assign(c.body, 'b');
    oxtest::Response r = oxtest::http(srv.port(), rq);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headers.get("X-Seen"), std::to_string(c.status));
    EXPECT_EQ(r.headers.count("X-Seen"), 1u);
    if (c.want_body != nullptr) {
      EXPECT_EQ(r.body, c.want_body);
    }
    if (c.status == 404) {
      EXPECT_EQ(r.headers.get("Content-Type"), "text/x-gone");
      EXPECT_EQ(r.headers.get("Content-Length"), "4");
    }
    if (c.status == 405) {
      EXPECT_EQ(r.headers.get("Allow"), "GET, HEAD, PUT");
    }
    if (c.status == 401) {
      EXPECT_TRUE(r.headers.has("WWW-Authenticate"));
    }
  }
}

// Refuses the notes whose id is 404 on the head; id 500 is stopped without
// a reply, which the library answers 500.
bool check_note(void *, ox_httpreq *req, ox_httpres *res) noexcept {
  size_t len = 0;
  const char *id = ox_httpreq_var(req, "id", &len);
  std::string which(id, len);
  if (which == "404") {
    ox_httpres_sendbinary(res, "no such note", 12, "text/plain", 404);
    return false;
  }
  return which != "500";
}

TEST(OxHttphooks, BeforeHookRefusesABodyBeforeItIsSent) {
  note_calls = 0;
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *srv) {
    add_note_routes(srv);
    ASSERT_EQ(ox_httpsrv_set_payld_limit(srv, 1 << 20), 0);
    ASSERT_EQ(ox_httpsrv_set_before(srv, check_note, nullptr), 0);
  };
  TestServer srv(nullptr, o);
  ASSERT_TRUE(srv.listening());

  // The head of a 300 KB upload is answered without a byte of its body.
  oxtest::RawConnection upload(srv.port());
  ASSERT_TRUE(upload.send("PUT /notes/404 HTTP/1.1\r\nHost: x\r\n"
                          "Content-Length: 300000\r\n\r\n"));
  oxtest::ParsedResponse refused =
      oxtest::parse_response(upload.read_to_close(10000));
  EXPECT_EQ(refused.status, 404);
  EXPECT_EQ(refused.body, "no such note");
  EXPECT_TRUE(upload.peer_closed());

  // Without a body the connection stays open for the next request.
  oxtest::RawConnection keep(srv.port());
  ASSERT_TRUE(keep.send("GET /notes/404 HTTP/1.1\r\nHost: x\r\n\r\n"
                        "GET /notes/3 HTTP/1.1\r\nHost: x\r\n"
                        "Connection: close\r\n\r\n"));
  std::vector<oxtest::ParsedResponse> both =
      oxtest::parse_responses(keep.read_to_close(10000));
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].status, 404);
  EXPECT_EQ(both[1].status, 200);
  EXPECT_EQ(both[1].body, "note 3");

  oxtest::Response stopped = oxtest::http_get(srv.port(), "/notes/500");
  EXPECT_EQ(stopped.status, 500);
  bool told = false;
  for (const std::string &e : srv.errors()) {
    told = told || e.find("before hook") != std::string::npos;
  }
  EXPECT_TRUE(told);
  EXPECT_EQ(note_calls.load(), 1);  // /notes/3 only
}

TEST(OxHttphooks, StatusPagesReplaceTheLibrarysText) {
  static const char page[] = "<h1>Not here</h1>";
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *srv) {
    add_note_routes(srv);
    ASSERT_EQ(ox_httpsrv_set_status_page(srv, 404, page, "text/html"), 0);
    ASSERT_EQ(ox_httpsrv_set_status_page(srv, 200, "x", nullptr), EINVAL);
    ASSERT_EQ(ox_httpsrv_set_status_page(srv, 404, "x", "a\r\nb: c"),
              EINVAL);
    // Set and removed: 405 keeps the library's text.
    ASSERT_EQ(ox_httpsrv_set_status_page(srv, 405, "mine", nullptr), 0);
    ASSERT_EQ(ox_httpsrv_set_status_page(srv, 405, nullptr, nullptr), 0);
  };
  // The program's own 404 stays its own.
  TestServer srv(
      [](ox_httpreq *, ox_httpres *res) {
        ox_httpres_sendbinary(res, "own", 3, "text/plain", 404);
      },
      o);
  ASSERT_TRUE(srv.listening());

  oxtest::Response missing = oxtest::http_get(srv.port(), "/notes/x/y");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "own");
  oxtest::Request head;
  head.method = "HEAD";
  head.target = "/notes/1/";  // falls to the program: its own
  EXPECT_EQ(oxtest::http(srv.port(), head).headers.get("Content-Length"),
            "3");

  TestServer routed(nullptr, o);
  ASSERT_TRUE(routed.listening());
  oxtest::Response r = oxtest::http_get(routed.port(), "/nowhere");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, page);
  EXPECT_EQ(r.headers.get("Content-Type"), "text/html");
  head.target = "/nowhere";
  oxtest::Response h = oxtest::http(routed.port(), head);
  EXPECT_EQ(h.headers.get("Content-Length"), std::to_string(strlen(page)));
  EXPECT_EQ(h.body, "");
  oxtest::Request del;
  del.method = "DELETE";
  del.target = "/notes/1";
  EXPECT_NE(oxtest::http(routed.port(), del).body, "mine");
}

bool origin_ends_in_test(void *, const char *origin) {
  std::string o = origin;
  return o.size() > 5 && o.compare(o.size() - 5, 5, ".test") == 0;
}

TEST(OxHttphooks, CorsLetsAllowedPagesReadEveryStatus) {
  static const char *const origins[] = {"https://app.example", nullptr};
  oxtest::ServerOptions o;
  o.configure = [](ox_httpsrv *srv) {
    add_note_routes(srv);
    ox_cors cors{};
    cors.origins = origins;
    cors.credentials = true;
    cors.expose = "X-Total";
    cors.max_age = 600;
    ASSERT_EQ(ox_httpsrv_set_cors(srv, &cors), 0);
    ox_cors bad{};
    ASSERT_EQ(ox_httpsrv_set_cors(srv, &bad), EINVAL);
    ASSERT_EQ(ox_httpsrv_add_route(
                  srv, "GET", "/own",
                  [](void *, ox_httpreq *, ox_httpres *res) noexcept {
                    ox_strmap_add(ox_httpres_headers(res),
                                  "Access-Control-Allow-Origin", "null");
                    ox_httpres_sendbinary(res, "", 0, nullptr, 200);
                  },
                  nullptr),
              0);
  };
  TestServer srv(nullptr, o);
  ASSERT_TRUE(srv.listening());

  const std::string ok_origin = "Origin: https://app.example";
  const std::string evil = "Origin: https://evil.example";
  struct Case {
    const char *method, *target;
    std::string origin;
    std::vector<std::string> extra;
    long status;
    const char *acao;  // "" when none is sent
  } cases[] = {
      {"OPTIONS", "/notes/1", ok_origin,
       {"Access-Control-Request-Method: PUT",
        "Access-Control-Request-Headers: content-type, x-token"},
       204, "https://app.example"},
      // Preflight for a path no route has: still answered.
      {"OPTIONS", "/anything/at/all", ok_origin,
       {"Access-Control-Request-Method: DELETE"}, 204, "https://app.example"},
      {"OPTIONS", "/notes/1", evil,
       {"Access-Control-Request-Method: PUT"}, 405, ""},
      {"GET", "/notes/1", ok_origin, {}, 200, "https://app.example"},
      {"GET", "/nowhere", ok_origin, {}, 404, "https://app.example"},
      {"DELETE", "/notes/1", ok_origin, {}, 405, "https://app.example"},
      {"GET", "/notes/1", evil, {}, 200, ""},
      {"GET", "/notes/1", "", {}, 200, ""},
      {"GET", "/own", ok_origin, {}, 200, "null"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.origin);
    oxtest::Request rq;
    rq.method = c.method;
    rq.target = c.target;
    rq.headers = c.extra;
    if (!c.origin.empty()) rq.headers.push_back(c.origin);
    oxtest::Response r = oxtest::http(srv.port(), rq);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headers.get("Access-Control-Allow-Origin"), c.acao);
    EXPECT_LE(r.headers.count("Access-Control-Allow-Origin"), 1u);
    bool allowed = *c.acao != '\0' && strcmp(c.acao, "null") != 0;
    EXPECT_EQ(r.headers.get("Access-Control-Allow-Credentials"),
              allowed ? "true" : "");
    if (c.status == 204) {
      EXPECT_EQ(r.headers.get("Access-Control-Max-Age"), "600");
      EXPECT_FALSE(r.headers.get("Access-Control-Allow-Methods").empty());
      if (c.extra.size() > 1) {
        EXPECT_EQ(r.headers.get("Access-Control-Allow-Headers"),
                  "content-type, x-token");
      }
    } else if (allowed) {
      EXPECT_EQ(r.headers.get("Access-Control-Expose-Headers"), "X-Total");
    }
  }

  // Every origin without credentials gets "*"; a predicate decides alone.
  static const char *const any[] = {"*", nullptr};
  struct Other {
    bool star;
    const char *origin, *acao;
  } others[] = {
      {true, "https://evil.example", "*"},
      {false, "http://a.test", "http://a.test"},
      {false, "http://a.test.evil", ""},
  };
  for (const Other &c : others) {
    SCOPED_TRACE(c.origin);
    oxtest::ServerOptions opts;
    opts.configure = [&c](ox_httpsrv *s) {
      ox_cors cors{};
      if (c.star) {
        cors.origins = any;
      } else {
        cors.origin_cb = origin_ends_in_test;
      }
      ASSERT_EQ(ox_httpsrv_set_cors(s, &cors), 0);
    };
    TestServer other(nullptr, opts);
    ASSERT_TRUE(other.listening());
    oxtest::Request rq;
    rq.target = "/x";
    rq.headers = {std::string("Origin: ") + c.origin};
    oxtest::Response r = oxtest::http(other.port(), rq);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.headers.get("Access-Control-Allow-Origin"), c.acao);
  }
}

}  // namespace
