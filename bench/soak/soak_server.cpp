// soak_server: the server bench/soak/run loads and attacks, on the shipped
// library.  Every limit and timeout keeps the library's default but the
// connection limit, raised so that the normal clients and the attackers fit
// side by side, the send deadline when the command line sets it, and the
// WebSocket limits below: the soak shows whether the defaults hold.
//   soak_server PORT UPLOAD_DIR [CONNECTION_LIMIT [BIG_BYTES]]
//     [--send-timeout SECONDS --send-rate BYTES_PER_S]
// (default limit 4000, BIG_BYTES 4 MiB; the send deadline is the library's
// unless both options are given, since one setter takes both).
// GET / answers a small page.  GET /big answers BIG_BYTES, a buffered body
// the server holds in memory until the client has taken it, for the slow
// readers.  GET /stats answers how the GET /big replies ended so far, as an
// access-log callback counts them: "big_whole=N big_cut=C
// big_cut_mean_ms=M big_cut_max_ms=X" (a client cannot tell: the kernel
// goes on delivering what it took of a cut reply).  POST /upload answers
// "files=N bytes=B fields=F" and the size of each file on a second line;
// nothing is saved, so the library removes the temporary files when the
// request ends.
// GET /ws opens a WebSocket (permessage-deflate when offered): every
// connection joins one group; a text message "all" goes to the whole group,
// the sender included, and every other message is echoed back to its
// sender.  A message may have 64 KiB (more is closed with 1009), a
// connection may queue 256 KiB its client has not taken (more is closed
// with 1008), and a connection is pinged after 2 s of silence and closed
// after 5 s of it, so that the soak sees each of these happen many times.
// GET /stats also counts the WebSockets: opened, closed (by close code),
// the group's members, the failed sends, and how long the connections
// whose handshake says "X-Soak-Client: mute" (clients that never answer a
// ping) lasted from their open to their close; see soak_stats().
// Stops at a byte on standard input, or when it ends.
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "ombrix.h"

namespace {

constexpr unsigned int kDefaultConnectionLimit = 4000;
// More than the kernel takes of a reply at once (about 2.7 MiB on loopback,
// where the send buffer grows to 4 MiB), so that the reply of a client
// that reads slowly stays with the server, and under its send deadline.
constexpr size_t kDefaultBigBytes = 4u << 20;

constexpr char kPage[] =
    "<!DOCTYPE html><html><head><title>soak</title></head>"
    "<body><p>Hello from the soak server.</p></body></html>\n";
constexpr char kNotFound[] = "Not Found\n";
constexpr char kNoMemory[] = "Internal Server Error\n";

// Far below the library's defaults, so that each acts many times in a run.
constexpr size_t kWsMessageMax = 64 * 1024;
constexpr size_t kWsQueueMax = 256 * 1024;
constexpr unsigned int kWsPingSeconds = 2;
constexpr unsigned int kWsIdleSeconds = 5;
// The close codes GET /stats counts one by one; any other is counted as
// "other".
constexpr unsigned int kWsCloseCodes[] = {1000, 1001, 1002, 1005, 1006,
                                          1007, 1008, 1009, 1011};
constexpr size_t kWsCodeCount = std::size(kWsCloseCodes);

// What every callback shares.  The counters are atomic: the access log
// runs on every thread of the pool, the WebSocket callbacks on every loop.
struct soak_state {
  std::string big;                      // the body of GET /big, filled once
  std::atomic<uint64_t> big_whole{0};   // replies the client took whole
  std::atomic<uint64_t> big_cut{0};     // replies whose connection ended
  std::atomic<uint64_t> cut_sum_us{0};  // from the head to the end, summed
  std::atomic<uint64_t> cut_max_us{0};  // ...and the longest
  ox_wsgroup *room = nullptr;           // every WebSocket, while it is open
  std::atomic<uint64_t> ws_opened{0};
  std::atomic<uint64_t> ws_closed{0};  // close callbacks, whatever the code
  // By the code the close callback was told, as kWsCloseCodes lists them;
  // the last counts every other code.
  std::atomic<uint64_t> ws_codes[kWsCodeCount + 1] = {};
  std::atomic<uint64_t> ws_broadcasts{0};  // "all" messages sent to the room
  // Sends that failed for another reason than a connection closing (EPIPE,
  // which the queue policy gives too): memory, or a bad message.
  std::atomic<uint64_t> ws_send_errors{0};
  std::atomic<uint64_t> mute_closed{0};  // closes of mute clients
  std::atomic<uint64_t> mute_sum_ms{0};  // from their open, summed
  std::atomic<uint64_t> mute_max_ms{0};  // ...and the longest
};

uint64_t soak_now_ms() {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
          .count());
}

// Stores |value| in |max| unless |max| holds more already.
void soak_store_max(std::atomic<uint64_t> &max, uint64_t value) {
  uint64_t seen = max.load();
  while (value > seen && !max.compare_exchange_weak(seen, value)) {
    // |seen| now holds what another thread stored: compare again.
  }
}

unsigned int soak_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  // sysconf answers -1 where the count is unknown: serve with one thread.
  return count > 0 ? static_cast<unsigned int>(count) : 1;
}

// The totals first, on a line of their own, so that the attack tool can
// check them against what it sent without reading the whole list.
int soak_describe_uploads(ox_httpreq *req, ox_str *page) {
  unsigned int files = 0;
  uint64_t bytes = 0;
  for (ox_httpupld *upld = ox_httpreq_uploads(req); upld != nullptr;
       ox_httpuplds_next(&upld)) {
    files++;
    bytes += ox_httpupld_size(upld);
  }
  unsigned int fields = ox_strmap_count(*ox_httpreq_fields(req));
  int rc =
      ox_str_printf(page, "files=%u bytes=%" PRIu64 " fields=%u\nsizes=", files,
                    bytes, fields);
  for (ox_httpupld *upld = ox_httpreq_uploads(req); rc == 0 && upld != nullptr;
       ox_httpuplds_next(&upld)) {
    rc = ox_str_printf(page, " %" PRIu64, ox_httpupld_size(upld));
  }
  if (rc == 0) rc = ox_str_write(page, "\n", 1);
  return rc;
}

void soak_upload(ox_httpreq *req, ox_httpres *res) {
  ox_str *page = ox_str_new();
  if (page == nullptr || soak_describe_uploads(req, page) != 0) {
    ox_str_free(page);
    ox_httpres_sendbinary(res, kNoMemory, sizeof(kNoMemory) - 1, "text/plain",
                          500);
    return;
  }
  ox_httpres_sendbinary(res, ox_str_content(page), ox_str_length(page),
                        "text/plain", 200);
  ox_str_free(page);  // the send took its own copy
}

// "big_whole=N big_cut=C big_cut_mean_ms=M big_cut_max_ms=X" for the slow
// readers, then the WebSockets: "ws_opened=O ws_closed=C ws_members=G
// ws_broadcasts=B ws_send_errors=E ws_mute_closed=N ws_mute_mean_ms=M
// ws_mute_max_ms=X ws_close_1000=N ... ws_close_other=N".
void soak_stats(const soak_state *state, ox_httpres *res) {
  uint64_t cut = state->big_cut.load();
  uint64_t mean_ms = cut != 0 ? state->cut_sum_us.load() / cut / 1000 : 0;
  uint64_t mute = state->mute_closed.load();
  uint64_t mute_mean_ms = mute != 0 ? state->mute_sum_ms.load() / mute : 0;
  char text[1024];  // room for every count at its widest
  int len = snprintf(text, sizeof(text),
                     "big_whole=%" PRIu64 " big_cut=%" PRIu64
                     " big_cut_mean_ms=%" PRIu64 " big_cut_max_ms=%" PRIu64
                     " ws_opened=%" PRIu64 " ws_closed=%" PRIu64
                     " ws_members=%zu ws_broadcasts=%" PRIu64
                     " ws_send_errors=%" PRIu64 " ws_mute_closed=%" PRIu64
                     " ws_mute_mean_ms=%" PRIu64 " ws_mute_max_ms=%" PRIu64,
                     state->big_whole.load(), cut, mean_ms,
                     state->cut_max_us.load() / 1000, state->ws_opened.load(),
                     state->ws_closed.load(), ox_wsgroup_size(state->room),
                     state->ws_broadcasts.load(), state->ws_send_errors.load(),
                     mute, mute_mean_ms, state->mute_max_ms.load());
  for (size_t i = 0; i <= kWsCodeCount; i++) {
    char code[8] = "other";
    if (i < kWsCodeCount) snprintf(code, sizeof(code), "%u", kWsCloseCodes[i]);
    len += snprintf(text + len, sizeof(text) - static_cast<size_t>(len),
                    " ws_close_%s=%" PRIu64, code, state->ws_codes[i].load());
  }
  len += snprintf(text + len, sizeof(text) - static_cast<size_t>(len), "\n");
  ox_httpres_sendbinary(res, text, static_cast<size_t>(len), "text/plain", 200);
}

// Each GET /big copies the body, as a server that builds a large page per
// request holds one copy per client until the client has taken it.
void soak_req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  auto *state = static_cast<soak_state *>(cls);
  const char *method = ox_httpreq_method(req);
  const char *path = ox_httpreq_path(req);
  if (strcmp(method, "GET") == 0 && strcmp(path, "/") == 0) {
    ox_httpres_sendbinary(res, kPage, sizeof(kPage) - 1,
                          "text/html; charset=utf-8", 200);
  } else if (strcmp(method, "GET") == 0 && strcmp(path, "/big") == 0) {
    if (ox_httpres_sendbinary(res, state->big.data(), state->big.size(),
                              "application/octet-stream", 200) != 0) {
      ox_httpres_sendbinary(res, kNoMemory, sizeof(kNoMemory) - 1, "text/plain",
                            500);
    }
  } else if (strcmp(method, "GET") == 0 && strcmp(path, "/stats") == 0) {
    soak_stats(state, res);
  } else if (strcmp(method, "POST") == 0 && strcmp(path, "/upload") == 0) {
    soak_upload(req, res);
  } else {
    ox_httpres_sendbinary(res, kNotFound, sizeof(kNotFound) - 1, "text/plain",
                          404);
  }
}

// A 200 to GET /big whose body bytes fall short of the body was cut: by a
// deadline, or by its client going away.  (A 500 for want of memory is
// neither.)
void soak_log_cb(void *cls, ox_httplog *rec) {
  const char *path = ox_httplog_path(rec);
  if (path == nullptr || strcmp(path, "/big") != 0 ||
      ox_httplog_status(rec) != 200) {
    return;
  }
  auto *state = static_cast<soak_state *>(cls);
  if (ox_httplog_bytes(rec) == state->big.size()) {
    state->big_whole++;
    return;
  }
  uint64_t us = ox_httplog_duration(rec);
  state->big_cut++;
  state->cut_sum_us += us;
  soak_store_max(state->cut_max_us, us);
}

// A connection that cannot join the room would miss its broadcasts: it is
// refused rather than kept half served.  A mute client's connection keeps
// the time it opened in its own pointer (0: not a mute client), so that its
// close, which the idle timeout should bring, can be timed.
void soak_ws_open(void *cls, ox_ws *ws, ox_httpreq *req) {
  auto *state = static_cast<soak_state *>(cls);
  state->ws_opened++;
  const char *client = ox_strmap_get(*ox_httpreq_headers(req), "X-Soak-Client");
  if (client != nullptr && strcmp(client, "mute") == 0) {
    ox_ws_set_data(
        ws, reinterpret_cast<void *>(static_cast<uintptr_t>(soak_now_ms())));
  }
  if (ox_wsgroup_join(state->room, ws) != 0) {
    ox_ws_close(ws, 1011, "cannot join the room");
  }
}

// A send to a client whose queue is full fails with EPIPE, and the queue
// policy closes that connection with 1008: the close callback counts it.
void soak_ws_message(void *cls, ox_ws *ws, const void *data, size_t size,
                     ox_wstype type) {
  auto *state = static_cast<soak_state *>(cls);
  bool all = type == OX_WS_TEXT && size == 3 && memcmp(data, "all", 3) == 0;
  int rc;
  if (all) {
    state->ws_broadcasts++;
    rc = ox_wsgroup_send(state->room, data, size, type, nullptr);
  } else {
    rc = ox_ws_send(ws, data, size, type);
  }
  if (rc != 0 && rc != EPIPE) state->ws_send_errors++;
}

void soak_ws_close(void *cls, ox_ws *ws, unsigned int code,
                   const char *reason) {
  (void)reason;
  auto *state = static_cast<soak_state *>(cls);
  auto opened_ms = reinterpret_cast<uintptr_t>(ox_ws_data(ws));
  if (opened_ms != 0) {
    uint64_t ms = soak_now_ms() - opened_ms;
    state->mute_closed++;
    state->mute_sum_ms += ms;
    soak_store_max(state->mute_max_ms, ms);
  }
  size_t i = 0;
  while (i < kWsCodeCount && kWsCloseCodes[i] != code) i++;
  state->ws_codes[i]++;
  state->ws_closed++;
}

// The WebSocket route and its limits; 0 or the errno of the step that
// failed.
int soak_ws_setup(ox_httpsrv *srv, soak_state *state) {
  ox_wshandlers handlers{};
  handlers.open = soak_ws_open;
  handlers.message = soak_ws_message;
  handlers.close = soak_ws_close;
  int rc = ox_httpsrv_add_ws_route(srv, "/ws", &handlers, state);
  if (rc == 0) {
    rc = ox_httpsrv_set_ws_limits(srv, kWsMessageMax, kWsQueueMax,
                                  OX_WSFULL_CLOSE);
  }
  if (rc == 0) {
    rc = ox_httpsrv_set_ws_timeouts(srv, kWsPingSeconds, kWsIdleSeconds);
  }
  if (rc == 0) rc = ox_httpsrv_set_ws_deflate(srv, true);
  return rc;
}

// The send deadline as the command line gives it; |set| is false when it
// is left to the library.
struct soak_send_deadline {
  bool set = false;
  unsigned int seconds = 0;
  unsigned int min_rate = 0;
};

// Reads a whole number of at most |max| into |out|; false on anything else.
bool soak_number(const char *text, unsigned long max, unsigned long &out) {
  char *end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' ||
      value > max) {
    return false;
  }
  out = value;
  return true;
}

// Reads the send options; they leave the positional arguments from
// |optind| on.  False on a bad option, or on one of the two alone.
bool soak_send_options(int argc, char *argv[], soak_send_deadline &send) {
  static const option longs[] = {
      {"send-timeout", required_argument, nullptr, 't'},
      {"send-rate", required_argument, nullptr, 'r'},
      {nullptr, 0, nullptr, 0},
  };
  bool have_seconds = false, have_rate = false;
  for (;;) {
    int ch = getopt_long(argc, argv, "", longs, nullptr);
    if (ch == -1) break;
    unsigned long value = 0;
    if (ch == '?' || !soak_number(optarg, UINT_MAX, value)) return false;
    if (ch == 't') {
      send.seconds = static_cast<unsigned int>(value);
      have_seconds = true;
    } else {
      send.min_rate = static_cast<unsigned int>(value);
      have_rate = true;
    }
  }
  send.set = have_seconds;
  return have_seconds == have_rate;
}

}  // namespace

int main(int argc, char *argv[]) {
  soak_send_deadline send;
  int positional = 0;
  if (soak_send_options(argc, argv, send)) positional = argc - optind;
  unsigned long port = 0, limit = kDefaultConnectionLimit;
  unsigned long big_bytes = kDefaultBigBytes;
  if (positional < 2 || positional > 4 ||
      !soak_number(argv[optind], 65535, port) ||
      (positional >= 3 && !soak_number(argv[optind + 2], UINT_MAX, limit)) ||
      (positional == 4 &&
       !soak_number(argv[optind + 3], SIZE_MAX, big_bytes))) {
    printf(
        "%s <PORT> <UPLOAD_DIR> [CONNECTION_LIMIT [BIG_BYTES]] "
        "[--send-timeout SECONDS --send-rate BYTES_PER_S]\n",
        argv[0]);
    return 1;
  }
  const char *upload_dir = argv[optind + 1];
  soak_state state;
  state.big.assign(big_bytes, 'b');
  state.room = ox_wsgroup_new();
  unsigned int threads = soak_cpu_count();
  ox_httpsrv *srv = ox_httpsrv_new(soak_req_cb, &state);
  if (srv == nullptr || state.room == nullptr ||
      ox_httpsrv_set_thr_pool_size(srv, threads) != 0 ||
      ox_httpsrv_set_log(srv, soak_log_cb, &state) != 0 ||
      ox_httpsrv_set_con_limit(srv, static_cast<unsigned int>(limit)) != 0 ||
      ox_httpsrv_set_upld_dir(srv, upload_dir) != 0 ||
      soak_ws_setup(srv, &state) != 0 ||
      (send.set &&
       ox_httpsrv_set_send_timeout(srv, send.seconds, send.min_rate) != 0) ||
      !ox_httpsrv_listen(srv, static_cast<uint16_t>(port), false)) {
    ox_httpsrv_free(srv);
    ox_wsgroup_free(state.room);
    return 1;
  }
  printf("Thread pool: %u\n", threads);
  printf("Connections limit: %lu\n", limit);
  printf("Big reply: %lu bytes\n", big_bytes);
  if (send.set) {
    printf("Send deadline: %u s + 1 s per %u bytes\n", send.seconds,
           send.min_rate);
  } else {
    printf("Send deadline: the library's default\n");
  }
  printf(
      "WebSocket: /ws, messages up to %zu bytes, queue %zu bytes (then "
      "1008), ping after %u s, idle timeout %u s, permessage-deflate\n",
      kWsMessageMax, kWsQueueMax, kWsPingSeconds, kWsIdleSeconds);
  printf("Upload directory: %s\n", ox_httpsrv_upld_dir(srv));
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  // Freed last: connections the stop closes leave the room first.
  ox_wsgroup_free(state.room);
  return 0;
}
