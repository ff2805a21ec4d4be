// Basic authentication: what each outcome of the authentication callback
// puts on the wire, the credentials it sees and its argument checks.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "ombrix.h"
#include "ox_httpauth.h"
#include "support/http_client.h"
#include "support/server_fixture.h"

namespace {

using oxtest::TestServer;

struct Calls {
  std::mutex mu;
  std::vector<std::string> paths;
  void add(const std::string &p) {
    std::lock_guard<std::mutex> lock(mu);
    paths.push_back(p);
  }
};

oxtest::ServerOptions with_auth(oxtest::AuthHandler auth) {
  oxtest::ServerOptions o;
  o.auth = std::move(auth);
  return o;
}

oxtest::RawReply raw_get(uint16_t port, const std::string &target) {
  return oxtest::raw_exchange(
      port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

bool gate(ox_httpauth *auth, ox_httpreq *req, ox_httpres *res) {
  std::string p = ox_httpreq_path(req);
  if (p == "/open") return true;
  if (p == "/deny") {
    EXPECT_EQ(ox_httpauth_deny(auth, "no entry", "text/plain"), 0);
  }
  if (p == "/realm") {
    EXPECT_EQ(ox_httpauth_set_realm(auth, "Vault"), 0);
    EXPECT_EQ(ox_httpauth_set_realm(auth, "Other"), EALREADY);
    EXPECT_STREQ(ox_httpauth_realm(auth), "Vault");
    EXPECT_EQ(ox_httpauth_deny(auth, "no entry", "text/plain"), 0);
  }
  if (p == "/quoted") {
    // A line break would end the header; quotes and backslashes are
    // escaped inside the quoted realm.
    EXPECT_EQ(ox_httpauth_set_realm(auth, "a\r\nX-Injected: 1"), EINVAL);
    EXPECT_EQ(ox_httpauth_set_realm(auth, "say \"hi\" \\ now"), 0);
    EXPECT_EQ(ox_httpauth_deny(auth, "no entry", "text/plain"), 0);
  }
  if (p == "/forbidden") {
    EXPECT_EQ(ox_httpauth_deny2(auth, "<b>no</b>", "text/html", 403), 0);
  }
  if (p == "/empty") {
    EXPECT_EQ(ox_httpauth_deny(auth, "", "text/plain"), 0);
  }
  if (p == "/headers" || p == "/headers403") {
    ox_strmap_add(ox_httpres_headers(res), "X-Why", "expired");
    ox_strmap_add(ox_httpres_headers(res), "Cache-Control", "no-store");
    EXPECT_EQ(ox_httpauth_deny2(auth, "stale", "text/plain",
                                p == "/headers" ? 401 : 403),
              0);
  }
  if (p == "/cancel") {
    EXPECT_EQ(ox_httpauth_cancel(auth), 0);
  }
  if (p == "/deny-cancel") {
    EXPECT_EQ(ox_httpauth_deny(auth, "no entry", "text/plain"), 0);
    EXPECT_EQ(ox_httpauth_cancel(auth), 0);
  }
  if (p == "/cancel-deny" || p == "/cancel-deny403" || p == "/cancel-deny100") {
    EXPECT_EQ(ox_httpauth_cancel(auth), 0);
    EXPECT_EQ(ox_httpauth_cancel(auth), 0);  // any number of times
    unsigned int status = p == "/cancel-deny" ? 401 : p == "/cancel-deny403" ? 403 : 100;
    EXPECT_EQ(ox_httpauth_deny2(auth, "no entry", "text/plain", status), 0);
  }
  return false;  // "/nothing" and every denial
}

TEST(OxHttpauth, EachOutcomeOfTheCallbackOnTheWire) {
  Calls calls;
  TestServer srv([&](ox_httpreq *req, ox_httpres *res) {
    calls.add(ox_httpreq_path(req));
    ox_httpres_sendbinary(res, "inside", 6, "text/plain", 200);
  }, with_auth(gate));
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *target;
    const char *status_line;  // nullptr: closed without a reply
    const char *challenge;    // nullptr: no WWW-Authenticate
    const char *type, *body;
  } cases[] = {
      {"/open", "HTTP/1.1 200 OK", nullptr, "text/plain", "inside"},
      {"/nothing", nullptr, nullptr, nullptr, nullptr},
      {"/deny", "HTTP/1.1 401 Unauthorized", "Basic realm=\"Ombrix realm\"",
       "text/plain", "no entry"},
      {"/realm", "HTTP/1.1 401 Unauthorized", "Basic realm=\"Vault\"",
       "text/plain", "no entry"},
      {"/quoted", "HTTP/1.1 401 Unauthorized",
       "Basic realm=\"say \\\"hi\\\" \\\\ now\"", "text/plain", "no entry"},
      {"/forbidden", "HTTP/1.1 403 Forbidden", nullptr, "text/html", "<b>no</b>"},
      {"/empty", "HTTP/1.1 401 Unauthorized", "Basic realm=\"Ombrix realm\"",
       "text/plain", ""},
      {"/cancel", nullptr, nullptr, nullptr, nullptr},
      {"/deny-cancel", "HTTP/1.1 500 Internal Server Error", nullptr, "", ""},
      {"/cancel-deny", "HTTP/1.1 500 Internal Server Error", nullptr, "", ""},
      {"/cancel-deny403", "HTTP/1.1 500 Internal Server Error", nullptr, "", ""},
      {"/cancel-deny100", "HTTP/1.1 500 Internal Server Error", nullptr, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    oxtest::RawReply raw = raw_get(srv.port(), c.target);
    EXPECT_TRUE(raw.closed);
    if (c.status_line == nullptr) {
      EXPECT_EQ(raw.bytes, "");
      continue;
    }
    oxtest::ParsedResponse r = oxtest::parse_response(raw.bytes);
    EXPECT_EQ(r.status_line, c.status_line);
    EXPECT_EQ(r.headers.count("WWW-Authenticate"), c.challenge != nullptr ? 1u : 0u);
    if (c.challenge != nullptr) {
      EXPECT_EQ(r.headers.get("WWW-Authenticate"), c.challenge);
    }
    if (*c.type != '\0') {
      EXPECT_EQ(r.headers.get("Content-Type"), c.type);
      EXPECT_EQ(r.body, c.body);
      EXPECT_EQ(r.headers.get("Content-Length"), std::to_string(r.body.size()));
    } else {
      EXPECT_EQ(r.body.find("no entry"), std::string::npos);  // denial dropped
    }
  }
  srv.stop();
  EXPECT_EQ(calls.paths, std::vector<std::string>{"/open"});
}

TEST(OxHttpauth, ReplyHeadersSetInTheCallbackGoOutWithTheDenial) {
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "request callback after a denial";
  }, with_auth(gate));
  ASSERT_TRUE(srv.listening());
  for (const char *target : {"/headers", "/headers403"}) {
    SCOPED_TRACE(target);
    oxtest::ParsedResponse r =
        oxtest::parse_response(raw_get(srv.port(), target).bytes);
    EXPECT_EQ(r.status, std::string(target) == "/headers" ? 401 : 403);
    EXPECT_EQ(r.headers.get("X-Why"), "expired");
    EXPECT_EQ(r.headers.get("Cache-Control"), "no-store");
    EXPECT_EQ(r.headers.get("Content-Type"), "text/plain");
    EXPECT_EQ(r.body, "stale");
  }
}

// A browser's first request meets the challenge and comes back with
// credentials: without a body on its way the connection stays open for
// that, while a body announced and never read closes it.
TEST(OxHttpauth, ChallengeKeepsTheConnectionUnlessABodyIsComing) {
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "request callback after a denial";
  }, with_auth(gate));
  ASSERT_TRUE(srv.listening());
  const std::string next =
      "GET /deny HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  struct Case {
    const char *what;
    std::string first;
    const char *trace;  // each reply: status, and whether it closes
  } cases[] = {
      {"no body", "GET /deny HTTP/1.1\r\nHost: x\r\n\r\n",
       "401 open|401 close|"},
      {"Content-Length: 0",
       "POST /deny HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
       "401 open|401 close|"},
      {"a body",
       "POST /deny HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
       "401 close|"},
      {"a chunked body",
       "POST /deny HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
       "\r\n5\r\nhello\r\n0\r\n\r\n",
       "401 close|"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::RawReply raw = oxtest::raw_exchange(srv.port(), c.first + next);
    EXPECT_TRUE(raw.closed);
    std::string trace;
    for (const oxtest::ParsedResponse &r : oxtest::parse_responses(raw.bytes)) {
      trace += std::to_string(r.status) +
               (r.headers.get("Connection") == "close" ? " close|" : " open|");
    }
    EXPECT_EQ(trace, c.trace);
  }
}

std::string or_null(const char *s) { return s != nullptr ? s : "(null)"; }

TEST(OxHttpauth, CredentialsAreWhatTheClientSentOrNull) {
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "request callback after a denial";
  }, with_auth([](ox_httpauth *auth, ox_httpreq *, ox_httpres *) {
    std::string seen = or_null(ox_httpauth_usr(auth)) + "|" +
                       or_null(ox_httpauth_pwd(auth));
    EXPECT_EQ(ox_httpauth_deny2(auth, seen.c_str(), "text/plain", 403), 0);
    return false;
  }));
  ASSERT_TRUE(srv.listening());
  struct Case {
    const char *what, *user, *password, *header, *seen;
  } cases[] = {
      {"none", "", "", nullptr, "(null)|(null)"},
      {"basic", "alice", "s3:cr et", nullptr, "alice|s3:cr et"},
      {"empty password", "bob", "", nullptr, "bob|"},
      {"bearer", "", "", "Authorization: Bearer abc.def", "(null)|(null)"},
      // "qvk:748\0junk": an encoded NUL must not cut the password short.
      {"nul in password", "", "", "Authorization: Basic cXZrOjc0OABqdW5r",
       "(null)|(null)"},
      {"control byte", "", "", "Authorization: Basic cXZrOjc0OAo=",
       "(null)|(null)"},
      {"no colon", "", "", "Authorization: Basic cXZr", "(null)|(null)"},
      {"bad alphabet", "", "", "Authorization: Basic cXZr*jc0OA==",
       "(null)|(null)"},
      {"bad padding", "", "", "Authorization: Basic cXZrOjc0O=A=",
       "(null)|(null)"},
      {"scheme in any case", "", "", "Authorization: bAsIc   cXZrOjc0OA==  ",
       "qvk|748"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    oxtest::Request req;
    req.user = c.user;
    req.password = c.password;
    if (c.header != nullptr) req.headers.push_back(c.header);
    oxtest::Response r = oxtest::http(srv.port(), req);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, c.seen);
  }
}

TEST(OxHttpauth, DenialLetThroughLeavesNothingOfItsOwnOnTheReply) {
  TestServer srv([](ox_httpreq *, ox_httpres *res) {
    EXPECT_EQ(ox_httpres_sendbinary(res, "<p>in</p>", 9, "text/html", 200), 0);
  }, with_auth([](ox_httpauth *auth, ox_httpreq *, ox_httpres *res) {
    ox_strmap_add(ox_httpres_headers(res), "X-Kept", "1");
    EXPECT_EQ(ox_httpauth_deny2(auth, "no", "text/plain", 403), 0);
    return true;  // changed its mind
  }));
  ASSERT_TRUE(srv.listening());
  oxtest::ParsedResponse r =
      oxtest::parse_response(raw_get(srv.port(), "/").bytes);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "<p>in</p>");
  EXPECT_EQ(r.headers.all("Content-Type"), std::vector<std::string>{"text/html"});
  EXPECT_EQ(r.headers.get("X-Kept"), "1");
}

TEST(OxHttpauth, ArgumentsAreCheckedAndADenialIsPreparedOnce) {
  TestServer srv([](ox_httpreq *, ox_httpres *) {
    ADD_FAILURE() << "request callback after a denial";
  }, with_auth([](ox_httpauth *auth, ox_httpreq *, ox_httpres *) {
    EXPECT_EQ(ox_httpauth_realm(auth), nullptr);
    EXPECT_EQ(ox_httpauth_set_realm(nullptr, "r"), EINVAL);
    EXPECT_EQ(ox_httpauth_set_realm(auth, nullptr), EINVAL);
    EXPECT_EQ(ox_httpauth_realm(auth), nullptr);
    EXPECT_EQ(ox_httpauth_deny(nullptr, "x", "text/plain"), EINVAL);
    EXPECT_EQ(ox_httpauth_deny(auth, nullptr, "text/plain"), EINVAL);
    EXPECT_EQ(ox_httpauth_deny(auth, "x", nullptr), EINVAL);
    EXPECT_EQ(ox_httpauth_deny2(auth, "x", "text/plain", 99), EINVAL);
    EXPECT_EQ(ox_httpauth_deny2(auth, "x", "text/plain", 600), EINVAL);
    EXPECT_EQ(ox_httpauth_deny2(auth, "edge", "text/plain", 599), 0);
    EXPECT_EQ(ox_httpauth_deny(auth, "second", "text/plain"), EALREADY);
    EXPECT_EQ(ox_httpauth_deny2(auth, "third", "text/html", 403), EALREADY);
    return false;
  }));
  ASSERT_TRUE(srv.listening());
  oxtest::ParsedResponse r = oxtest::parse_response(raw_get(srv.port(), "/").bytes);
  EXPECT_EQ(r.status, 599);
  EXPECT_EQ(r.body, "edge");
  EXPECT_EQ(r.headers.all("Content-Type"), std::vector<std::string>{"text/plain"});
  EXPECT_FALSE(r.headers.has("WWW-Authenticate"));

  EXPECT_EQ(ox_httpauth_cancel(nullptr), EINVAL);
  for (auto get : {ox_httpauth_realm, ox_httpauth_usr, ox_httpauth_pwd}) {
    errno = 0;
    EXPECT_EQ(get(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  ox__httpauth_free(nullptr);
}

}  // namespace
