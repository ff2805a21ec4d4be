// A server's metrics: counters kept without a lock on the request path,
// in shards that the serving threads share out (a thread keeps to one), and
// written in Prometheus' text format on request.
#ifndef OX_HTTPSTATS_H
#define OX_HTTPSTATS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ombrix.h"

// What connections close for.
enum class ox__closecause : uint8_t {
  done,           // the client closed, or a reply asked to
  idle,           // the idle timeout
  head_deadline,  // the request head's deadline
  body_deadline,  // the body's deadline
  send_deadline,  // the reply's deadline (a slow reader)
  file_short,     // a file went short under sendfile()
  drain,          // a drain or a stop
  count_,
};

// Replies the library made instead of the program, for a limit.
enum class ox__refusal : uint8_t {
  too_large,      // 413: a body over its limits
  head_too_large, // 431: a head over the connection memory
  busy,           // 503: the isolation pool and its queue full
  per_address,    // a connection over the per-address limit (closed)
  count_,
};

// Fixed buckets of the request latency histogram, in seconds: from a
// fast hit to a slow upload.
inline constexpr double ox__latency_bounds[] = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
    0.1,    0.25,  0.5,    1,     2.5,  5,     10};
constexpr size_t ox__latency_buckets =
    sizeof(ox__latency_bounds) / sizeof(ox__latency_bounds[0]);

constexpr size_t ox__stat_methods = 8;  // GET HEAD POST PUT DELETE PATCH
                                        // OPTIONS, then any other
constexpr size_t ox__stat_classes = 5;  // 1xx .. 5xx

// One shard: every counter once, on cache lines of its own.
struct alignas(64) ox__statshard {
  std::atomic<uint64_t> requests[ox__stat_methods][ox__stat_classes];
  std::atomic<uint64_t> latency[ox__latency_buckets + 1];  // + Inf
  std::atomic<uint64_t> latency_us;  // the histogram's sum
  std::atomic<uint64_t> body_in;
  std::atomic<uint64_t> body_out;
  std::atomic<uint64_t> closed[static_cast<size_t>(ox__closecause::count_)];
  std::atomic<uint64_t> refused[static_cast<size_t>(ox__refusal::count_)];
  std::atomic<uint64_t> tls_done;
  std::atomic<uint64_t> tls_failed;
};

constexpr size_t ox__stat_shards = 16;

struct ox__httpstats {
  bool on = false;  // set before listening: no counting at all otherwise
  ox__statshard shards[ox__stat_shards];
  // Requests by route and status class, shard by shard: made at listen
  // when the server has routes, |nroutes| of them.
  std::atomic<uint64_t> *routes = nullptr;
  size_t nroutes = 0;
  std::atomic<uint64_t> accepted{0};  // connections the listener took

  ~ox__httpstats();
};

// The shard the calling thread counts in.
ox__statshard *ox__httpstats_shard(ox__httpstats *stats) noexcept;

// Makes the per-route counters for |nroutes| routes.  Returns 0 or ENOMEM.
int ox__httpstats_start(ox__httpstats *stats, size_t nroutes) noexcept;

// Counts a request answered with |status| after |duration_us|, by its
// |method|, and the route at |route| (SIZE_MAX: none) when routes count.
void ox__httpstats_request(ox__httpstats *stats, const char *method,
                           unsigned int status, size_t route,
                           uint64_t duration_us, uint64_t body_in,
                           uint64_t body_out) noexcept;

inline void ox__httpstats_closed(ox__httpstats *stats,
                                 ox__closecause cause) noexcept {
  if (!stats->on) return;
  ox__httpstats_shard(stats)->closed[static_cast<size_t>(cause)].fetch_add(
      1, std::memory_order_relaxed);
}

inline void ox__httpstats_refused(ox__httpstats *stats,
                                  ox__refusal why) noexcept {
  if (!stats->on) return;
  ox__httpstats_shard(stats)->refused[static_cast<size_t>(why)].fetch_add(
      1, std::memory_order_relaxed);
}

inline void ox__httpstats_tls(ox__httpstats *stats, bool done) noexcept {
  if (!stats->on) return;
  ox__statshard *s = ox__httpstats_shard(stats);
  (done ? s->tls_done : s->tls_failed).fetch_add(1, std::memory_order_relaxed);
}

// Writes the server's metrics in Prometheus' text format (0.0.4) to |out|.
int ox__httpstats_write(ox_httpsrv *srv, ox_str *out) noexcept;

#endif  // OX_HTTPSTATS_H
