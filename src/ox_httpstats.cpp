// Metrics.  A counter is bumped with one relaxed atomic add on the calling
// thread's shard, a cache line few other threads touch, so serving threads
// neither lock nor bounce lines between them; a scrape sums the shards.
#include "ox_httpstats.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <mutex>

#include "ox_alloc.h"
#include "ox_httpsrv.h"

namespace {

constexpr const char *stat_methods[ox__stat_methods] = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "other"};

constexpr const char *stat_closecauses[] = {
    "done",          "idle",       "head_deadline", "body_deadline",
    "send_deadline", "file_short", "drain"};

constexpr const char *stat_refusals[] = {"too_large", "head_too_large", "busy",
                                         "per_address"};

// Threads take shards in turn on their first count, so that the threads of
// one server mostly count apart.
std::atomic<unsigned int> stat_next_shard{0};

size_t stat_method(const char *method) noexcept {
  for (size_t i = 0; i + 1 < ox__stat_methods; i++) {
    if (strcmp(method, stat_methods[i]) == 0) return i;
  }
  return ox__stat_methods - 1;
}

size_t stat_class(unsigned int status) noexcept {
  size_t c = status / 100;
  return c >= 1 && c <= 5 ? c - 1 : 4;
}

void stat_bump(std::atomic<uint64_t> &counter, uint64_t n = 1) noexcept {
  counter.fetch_add(n, std::memory_order_relaxed);
}

// The sum of one counter over every shard.
template <class Pick>
uint64_t stat_sum(const ox__httpstats *stats, Pick pick) noexcept {
  uint64_t sum = 0;
  for (const ox__statshard &s : stats->shards) {
    sum += pick(s).load(std::memory_order_relaxed);
  }
  return sum;
}

// A label value as Prometheus' text format quotes it: backslash, quote
// and line break escaped.
int stat_label(ox_str *out, const char *value) noexcept {
  int rc = 0;
  for (const char *p = value; rc == 0 && *p != '\0'; p++) {
    switch (*p) {
      case '\\': rc = ox_str_write(out, "\\\\", 2); break;
      case '"': rc = ox_str_write(out, "\\\"", 2); break;
      case '\n': rc = ox_str_write(out, "\\n", 2); break;
      default: rc = ox_str_write(out, p, 1);
    }
  }
  return rc;
}

int stat_head(ox_str *out, const char *name, const char *type,
              const char *help) noexcept {
  return ox_str_printf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name,
                       type);
}

int stat_requests(const ox__httpstats *stats, ox_str *out) noexcept {
  int rc = stat_head(out, "ombrix_http_requests_total", "counter",
                     "Requests answered, by method and status class.");
  for (size_t m = 0; rc == 0 && m < ox__stat_methods; m++) {
    for (size_t c = 0; rc == 0 && c < ox__stat_classes; c++) {
      uint64_t n = stat_sum(stats, [&](const ox__statshard &s) -> auto & {
        return s.requests[m][c];
      });
      if (n == 0) continue;
      rc = ox_str_printf(out,
                         "ombrix_http_requests_total{method=\"%s\","
                         "code=\"%zuxx\"} %" PRIu64 "\n",
                         stat_methods[m], c + 1, n);
    }
  }
  return rc;
}

int stat_routes(const ox_httpsrv *srv, ox_str *out) noexcept {
  const ox__httpstats *stats = &srv->stats;
  if (stats->routes == nullptr) return 0;
  int rc = stat_head(out, "ombrix_http_route_requests_total", "counter",
                     "Requests a route answered, by its pattern and the "
                     "status class.");
  size_t per_shard = stats->nroutes * ox__stat_classes;
  for (size_t r = 0; rc == 0 && r < stats->nroutes; r++) {
    for (size_t c = 0; rc == 0 && c < ox__stat_classes; c++) {
      uint64_t n = 0;
      for (size_t s = 0; s < ox__stat_shards; s++) {
        n += stats->routes[s * per_shard + r * ox__stat_classes + c].load(
            std::memory_order_relaxed);
      }
      if (n == 0) continue;
      rc = ox_str_printf(out, "ombrix_http_route_requests_total{method=\"");
      if (rc == 0) rc = stat_label(out, srv->routes.list[r].method);
      if (rc == 0) rc = ox_str_printf(out, "\",route=\"");
      if (rc == 0) rc = stat_label(out, srv->routes.list[r].pattern);
      if (rc == 0) {
        rc = ox_str_printf(out, "\",code=\"%zuxx\"} %" PRIu64 "\n", c + 1, n);
      }
    }
  }
  return rc;
}

int stat_latency(const ox__httpstats *stats, ox_str *out) noexcept {
  const char *name = "ombrix_http_request_duration_seconds";
  int rc = stat_head(out, name, "histogram",
                     "Time from a request's head to the end of its reply.");
  uint64_t cumulative = 0;
  for (size_t b = 0; rc == 0 && b <= ox__latency_buckets; b++) {
    cumulative += stat_sum(stats, [&](const ox__statshard &s) -> auto & {
      return s.latency[b];
    });
    if (b < ox__latency_buckets) {
      rc = ox_str_printf(out, "%s_bucket{le=\"%g\"} %" PRIu64 "\n", name,
                         ox__latency_bounds[b], cumulative);
    } else {
      rc = ox_str_printf(out, "%s_bucket{le=\"+Inf\"} %" PRIu64 "\n", name,
                         cumulative);
    }
  }
  uint64_t us = stat_sum(stats, [](const ox__statshard &s) -> auto & {
    return s.latency_us;
  });
  if (rc == 0) {
    rc = ox_str_printf(out, "%s_sum %.6f\n%s_count %" PRIu64 "\n", name,
                       static_cast<double>(us) / 1e6, name, cumulative);
  }
  return rc;
}

int stat_counter(ox_str *out, const char *name, const char *help,
                 uint64_t value) noexcept {
  int rc = stat_head(out, name, "counter", help);
  return rc == 0 ? ox_str_printf(out, "%s %" PRIu64 "\n", name, value) : rc;
}

int stat_gauge(ox_str *out, const char *name, const char *help,
               uint64_t value) noexcept {
  int rc = stat_head(out, name, "gauge", help);
  return rc == 0 ? ox_str_printf(out, "%s %" PRIu64 "\n", name, value) : rc;
}

// A counter with one label, over the values |names| (|n| of them).
template <class Pick>
int stat_labelled(const ox__httpstats *stats, ox_str *out, const char *name,
                  const char *label, const char *help,
                  const char *const *names, size_t n, Pick pick) noexcept {
  int rc = stat_head(out, name, "counter", help);
  for (size_t i = 0; rc == 0 && i < n; i++) {
    uint64_t v = stat_sum(stats, [&](const ox__statshard &s) -> auto & {
      return pick(s, i);
    });
    rc = ox_str_printf(out, "%s{%s=\"%s\"} %" PRIu64 "\n", name, label,
                       names[i], v);
  }
  return rc;
}

int stat_connections(ox_httpsrv *srv, ox_str *out) noexcept {
  const ox__httpstats *stats = &srv->stats;
  int rc = stat_gauge(out, "ombrix_connections_open",
                      "Connections the server holds.",
                      srv->listener.open.load(std::memory_order_relaxed));
  if (rc == 0) {
    rc = stat_counter(out, "ombrix_connections_accepted_total",
                      "Connections accepted.",
                      stats->accepted.load(std::memory_order_relaxed));
  }
  if (rc == 0) {
    rc = stat_labelled(stats, out, "ombrix_connections_closed_total", "cause",
                       "Connections closed, by what closed them.",
                       stat_closecauses,
                       static_cast<size_t>(ox__closecause::count_),
                       [](const ox__statshard &s, size_t i) -> auto & {
                         return s.closed[i];
                       });
  }
  if (rc == 0) {
    rc = stat_labelled(stats, out, "ombrix_http_refused_total", "reason",
                       "Requests and connections refused for a limit.",
                       stat_refusals, static_cast<size_t>(ox__refusal::count_),
                       [](const ox__statshard &s, size_t i) -> auto & {
                         return s.refused[i];
                       });
  }
  return rc;
}

int stat_pool(ox_httpsrv *srv, ox_str *out) noexcept {
  unsigned int busy, queued;
  {
    ox__httppool *pool = &srv->pool;
    std::lock_guard<std::mutex> lock(pool->mutex);
    busy = pool->threads - pool->idle;
    queued = pool->queued;
  }
  int rc = stat_gauge(out, "ombrix_isolation_busy",
                      "Isolated requests running.", busy);
  if (rc == 0) {
    rc = stat_gauge(out, "ombrix_isolation_queued",
                    "Isolated requests waiting for a thread.", queued);
  }
  return rc;
}

int stat_bytes_tls(const ox__httpstats *stats, ox_str *out) noexcept {
  int rc = stat_counter(
      out, "ombrix_http_request_body_bytes_total", "Request body bytes read.",
      stat_sum(stats, [](const ox__statshard &s) -> auto & { return s.body_in; }));
  if (rc == 0) {
    rc = stat_counter(out, "ombrix_http_response_body_bytes_total",
                      "Reply body bytes sent.",
                      stat_sum(stats, [](const ox__statshard &s) -> auto & {
                        return s.body_out;
                      }));
  }
  static const char *const results[] = {"done", "failed"};
  if (rc == 0) {
    rc = stat_labelled(stats, out, "ombrix_tls_handshakes_total", "result",
                       "TLS handshakes, done or failed.", results, 2,
                       [](const ox__statshard &s, size_t i) -> auto & {
                         return i == 0 ? s.tls_done : s.tls_failed;
                       });
  }
  return rc;
}

}  // namespace

ox__httpstats::~ox__httpstats() { delete[] routes; }

ox__statshard *ox__httpstats_shard(ox__httpstats *stats) noexcept {
  thread_local unsigned int index =
      stat_next_shard.fetch_add(1, std::memory_order_relaxed) %
      ox__stat_shards;
  return &stats->shards[index];
}

int ox__httpstats_start(ox__httpstats *stats, size_t nroutes) noexcept {
  if (!stats->on || nroutes == 0 || stats->routes != nullptr) return 0;
  size_t n = ox__stat_shards * nroutes * ox__stat_classes;
  stats->routes = new (std::nothrow) std::atomic<uint64_t>[n]();
  if (stats->routes == nullptr) return ENOMEM;
  stats->nroutes = nroutes;
  return 0;
}

void ox__httpstats_request(ox__httpstats *stats, const char *method,
                           unsigned int status, size_t route,
                           uint64_t duration_us, uint64_t body_in,
                           uint64_t body_out) noexcept {
  if (!stats->on) return;
  ox__statshard *s = ox__httpstats_shard(stats);
  size_t cls = stat_class(status);
  stat_bump(s->requests[stat_method(method)][cls]);
  size_t b = 0;
  double seconds = static_cast<double>(duration_us) / 1e6;
  while (b < ox__latency_buckets && seconds > ox__latency_bounds[b]) b++;
  stat_bump(s->latency[b]);
  stat_bump(s->latency_us, duration_us);
  if (body_in != 0) stat_bump(s->body_in, body_in);
  if (body_out != 0) stat_bump(s->body_out, body_out);
  if (route < stats->nroutes && stats->routes != nullptr) {
    size_t shard = static_cast<size_t>(s - stats->shards);
    stat_bump(stats->routes[(shard * stats->nroutes + route) *
                                ox__stat_classes +
                            cls]);
  }
}

int ox__httpstats_write(ox_httpsrv *srv, ox_str *out) noexcept {
  const ox__httpstats *stats = &srv->stats;
  int rc = stat_requests(stats, out);
  if (rc == 0) rc = stat_routes(srv, out);
  if (rc == 0) rc = stat_latency(stats, out);
  if (rc == 0) rc = stat_bytes_tls(stats, out);
  if (rc == 0) rc = stat_connections(srv, out);
  if (rc == 0) rc = stat_pool(srv, out);
  if (rc == 0) {
    rc = stat_gauge(out, "ombrix_draining",
                    "1 once a drain began: the server is going away.",
                    srv->draining.load(std::memory_order_relaxed) ? 1 : 0);
  }
  return rc;
}
