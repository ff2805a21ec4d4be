// Metrics and readiness: what a scrape shows after traffic of every kind,
// and counters kept right when several threads count at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <regex>
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

// The value of the sample |name| (with its labels, as written) in |text|,
// or -1 when it is not there.
long long sample(const std::string &text, const std::string &name) {
  size_t at = 0;
  while ((at = text.find(name + " ", at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') {
      return std::stoll(text.substr(at + name.size() + 1));
    }
    at += name.size();
  }
  return -1;
}

// After traffic of each kind, the scrape (served by the library's own
// route, in Prometheus' text format) counts each by its labels.
TEST(OxHttpstats, AScrapeCountsTrafficByItsLabels) {
  oxtest::ServerOptions o;
  o.model = ThreadModel::kPool;
  o.configure = [](ox_httpsrv *s) {
    EXPECT_EQ(ox_httpsrv_set_payld_limit(s, 100), 0);
    EXPECT_EQ(ox_httpsrv_add_metrics_route(s, "/metrics"), 0);
    EXPECT_EQ(ox_httpsrv_add_ready_route(s, "/ready"), 0);
    EXPECT_EQ(ox_httpsrv_add_route(
                  s, "GET", "/items/[0-9]+",
                  [](void *, ox_httpreq *, ox_httpres *res) {
                    send_text(res, "item");
                  },
                  nullptr),
              0);
    EXPECT_EQ(ox_httpsrv_add_metrics_route(s, "no/slash"), EINVAL);
  };
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "fb", 404); },
                 o);
  ASSERT_TRUE(srv.listening());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(oxtest::http_get(srv.port(), "/items/" + std::to_string(i)).status,
              200);
  }
  EXPECT_EQ(oxtest::http_get(srv.port(), "/nowhere").status, 404);
  EXPECT_EQ(oxtest::http_post(srv.port(), "/items/1", "x").status, 405);
  EXPECT_EQ(oxtest::http_post(srv.port(), "/up", std::string(200, 'b')).status,
            413);
  // Readiness follows the program's word.
  EXPECT_EQ(oxtest::http_get(srv.port(), "/ready").status, 200);
  EXPECT_EQ(ox_httpsrv_set_ready(srv.get(), false), 0);
  EXPECT_EQ(oxtest::http_get(srv.port(), "/ready").status, 503);
  EXPECT_EQ(ox_httpsrv_set_ready(srv.get(), true), 0);

  oxtest::Response scrape = oxtest::http_get(srv.port(), "/metrics");
  ASSERT_EQ(scrape.status, 200);
  EXPECT_EQ(scrape.headers.get("Content-Type"),
            "text/plain; version=0.0.4; charset=utf-8");
  const std::string &m = scrape.body;
  struct {
    std::string name;
    long long value;
  } want[] = {
      // Three items and a ready; the scrape itself is not over yet.
      {"ombrix_http_requests_total{method=\"GET\",code=\"2xx\"}", 4},
      {"ombrix_http_requests_total{method=\"GET\",code=\"4xx\"}", 1},
      {"ombrix_http_requests_total{method=\"GET\",code=\"5xx\"}", 1},
      {"ombrix_http_requests_total{method=\"POST\",code=\"4xx\"}", 2},
      {"ombrix_http_route_requests_total{method=\"GET\","
       "route=\"/items/[0-9]+\",code=\"2xx\"}",
       3},
      {"ombrix_http_refused_total{reason=\"too_large\"}", 1},
      {"ombrix_http_request_duration_seconds_bucket{le=\"+Inf\"}", 8},
      {"ombrix_http_request_duration_seconds_count", 8},
      {"ombrix_connections_accepted_total", 9},
      {"ombrix_isolation_busy", 0},
      {"ombrix_draining", 0},
  };
  for (const auto &w : want) {
    SCOPED_TRACE(w.name);
    EXPECT_EQ(sample(m, w.name), w.value) << m;
  }
  // Every sample line is a name, optional labels and a number.
  std::regex line(R"((# (HELP|TYPE) .*|[a-z_]+(\{[^}]*\})? [0-9.e+-]+))");
  size_t start = 0;
  while (start < m.size()) {
    size_t end = m.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(m.substr(start, end - start), line))
        << m.substr(start, end - start);
    start = end + 1;
  }
}

// Counts from many threads at once add up, and a server that did not ask
// for metrics counts nothing.
TEST(OxHttpstats, ThreadsCountingAtOnceLoseNothing) {
  oxtest::ServerOptions o;
  o.model = ThreadModel::kPool;
  o.configure = [](ox_httpsrv *s) { EXPECT_EQ(ox_httpsrv_set_metrics(s, true), 0); };
  TestServer srv([](ox_httpreq *, ox_httpres *res) { send_text(res, "x"); }, o);
  ASSERT_TRUE(srv.listening());
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 25; ++i) oxtest::http_get(srv.port(), "/");
    });
  }
  for (auto &c : clients) c.join();
  // A request is counted once libmicrohttpd says it is over, which on
  // another thread of the pool may come just after its client has the
  // reply: the count is read until it stops short of 100 no longer.
  ox_str *text = ox_str_new();
  long long counted = 0;
  for (int tries = 0; tries < 500 && counted < 100; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ox_str_clear(text);
    ASSERT_EQ(ox_httpsrv_metrics(srv.get(), text), 0);
    counted = sample(ox_str_content(text),
                     "ombrix_http_requests_total{method=\"GET\",code=\"2xx\"}");
  }
  EXPECT_EQ(counted, 100);
  ox_str_free(text);

  TestServer off([](ox_httpreq *, ox_httpres *res) { send_text(res, "x"); });
  ASSERT_TRUE(off.listening());
  oxtest::http_get(off.port(), "/");
  text = ox_str_new();
  ASSERT_EQ(ox_httpsrv_metrics(off.get(), text), 0);
  EXPECT_EQ(sample(ox_str_content(text), "ombrix_http_request_duration_seconds_count"),
            0);
  EXPECT_EQ(ox_httpsrv_metrics(nullptr, text), EINVAL);
  ox_str_free(text);
}

}  // namespace
