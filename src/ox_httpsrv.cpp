// Server: settings, the libmicrohttpd daemon, and a stop that waits for
// every callback to be over.
#include "ox_httpsrv.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_error.h"
#include "ox_httpreq.h"
#include "ox_httpres.h"
#include "ox_httpupld.h"
#include "ox_mime.h"

namespace {

constexpr size_t httpsrv_min_con_mem = 4096;

// Error lines come without a newline, so that other sinks need not strip
// one; standard error gets a line each.
void httpsrv_default_err(void *cls, const char *err) noexcept {
  (void)cls;
  fprintf(stderr, "%s\n", err);
  fflush(stderr);
}

// The error gate's window and the lines each may pass.
constexpr int64_t httpsrv_error_window_s = 10;
constexpr unsigned int httpsrv_error_burst = 10;

int64_t httpsrv_now_s() noexcept {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Starts a new window when the last is over; returns the count of lines
// held back in the last, to be told.  Called under the gate's lock.
uint64_t httpsrv_next_window(ox__errgate *gate, int64_t now) noexcept {
  if (now - gate->window < httpsrv_error_window_s) return 0;
  uint64_t held = gate->held;
  gate->window = now;
  gate->passed = 0;
  gate->held = 0;
  return held;
}

void httpsrv_tell_held(ox_httpsrv *srv, uint64_t held) noexcept {
  if (held == 0) return;
  char text[128];
  snprintf(text, sizeof text,
           "ombrix: %llu more error lines held back in %lld s",
           static_cast<unsigned long long>(held),
           static_cast<long long>(httpsrv_error_window_s));
  srv->err_cb(srv->cls, text);
}

// Hands |text| to the error callback through the gate.  The callback runs
// outside the gate's lock, so a slow one never holds up the count.
void httpsrv_report(ox_httpsrv *srv, const char *text) noexcept {
  ox__errgate *gate = &srv->errors;
  uint64_t held;
  bool pass;
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    held = httpsrv_next_window(gate, httpsrv_now_s());
    pass = gate->passed < httpsrv_error_burst;
    if (pass) {
      gate->passed++;
    } else {
      gate->held++;
    }
  }
  httpsrv_tell_held(srv, held);
  if (pass) srv->err_cb(srv->cls, text);
}

// The status of a reply libmicrohttpd makes on its own (a head over the
// connection memory: 431), from its log line, which is the one place it
// tells of one.
void httpsrv_count_own_reply(ox_httpsrv *srv, const char *fmt,
                             va_list ap) noexcept {
  static const char prefix[] =
      "Error processing request (HTTP response code is %u";
  if (!srv->stats.on || strncmp(fmt, prefix, sizeof prefix - 1) != 0) return;
  va_list copy;
  va_copy(copy, ap);
  unsigned int status = va_arg(copy, unsigned int);
  va_end(copy);
  if (status == MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE) {
    ox__httpstats_refused(&srv->stats, ox__refusal::head_too_large);
  }
}

// Set on a serving thread whose request was answered and is closed on
// purpose: libmicrohttpd, told so by MHD_NO, logs at once on the same
// thread that the application reported an internal error.  That line is
// no error of anyone's, and the reply already says what happened.
thread_local bool httpsrv_closing_on_purpose = false;

bool httpsrv_is_purposeful_close(const char *text) noexcept {
  static const char line[] = "Application reported internal error";
  return std::exchange(httpsrv_closing_on_purpose, false) &&
         strncmp(text, line, sizeof line - 1) == 0;
}

// Formats "ombrix: ", then "<peer>: " when there is a peer, then the
// message, and hands the line to the gate.
__attribute__((format(printf, 3, 0))) void httpsrv_vreport(
    ox_httpsrv *srv, const char *peer, const char *fmt, va_list ap) noexcept {
  char text[1024];
  int n = peer != nullptr && *peer != '\0'
              ? snprintf(text, sizeof text, "ombrix: %s: ", peer)
              : snprintf(text, sizeof text, "ombrix: ");
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) n = 0;
  vsnprintf(text + n, sizeof text - static_cast<size_t>(n), fmt, ap);
  httpsrv_report(srv, text);
}

// libmicrohttpd's own diagnostics go to the error callback too, in the
// library's form: its prefix, and without the newline libmicrohttpd ends
// them with.
void httpsrv_log(void *cls, const char *fmt, va_list ap) noexcept {
  auto *srv = static_cast<ox_httpsrv *>(cls);
  httpsrv_count_own_reply(srv, fmt, ap);
  char text[512] = "ombrix: ";
  size_t n = strlen(text);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsnprintf(text + n, sizeof(text) - n, fmt, ap);
#pragma GCC diagnostic pop
  for (n = strlen(text); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r');
       n--) {
    text[n - 1] = '\0';
  }
  // The check reads libmicrohttpd's text, after the prefix.
  if (httpsrv_is_purposeful_close(text + strlen("ombrix: "))) return;
  httpsrv_report(srv, text);
}

// Why a server no longer takes settings, recorded as its last error.
int httpsrv_too_late(ox_httpsrv *srv) noexcept {
  return ox__httpsrv_fail(
      srv, EALREADY,
      srv->stopped
          ? "the server was drained: settings are taken before listening"
          : "the server listens already: settings are taken before "
            "listening");
}

// A setter's common checks: a server that exists and does not listen yet
// (nor did, and was drained).
int httpsrv_settable(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return EINVAL;
  return srv->daemon != nullptr || srv->stopped ? httpsrv_too_late(srv) : 0;
}

unsigned int httpsrv_flags(const ox_httpsrv *srv, bool conn_threads) noexcept {
  // The library accepts: libmicrohttpd gets each client from it.
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG |
                       MHD_USE_ITC | MHD_USE_NO_LISTEN_SOCKET;
  if (srv->tls.on) flags |= MHD_USE_TLS;
  if (srv->wsroutes != nullptr) flags |= MHD_ALLOW_UPGRADE;
  if (conn_threads) {
    // Each connection's own thread already serves an isolated request.
    flags |= MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL;
  } else {
    flags |= MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  }
  return flags;
}

}  // namespace

void ox__httpsrv_closing_on_purpose() noexcept {
  httpsrv_closing_on_purpose = true;
}

void ox__httpsrv_error(ox_httpsrv *srv, const char *fmt, ...) noexcept {
  va_list ap;
  va_start(ap, fmt);
  httpsrv_vreport(srv, nullptr, fmt, ap);
  va_end(ap);
}

void ox__httpsrv_peer_error(ox_httpsrv *srv, MHD_Connection *con,
                            const char *fmt, ...) noexcept {
  char peer[INET6_ADDRSTRLEN + 8];
  ox__httpconn_endpoint(con, peer, sizeof peer);
  va_list ap;
  va_start(ap, fmt);
  httpsrv_vreport(srv, peer, fmt, ap);
  va_end(ap);
}

int ox__httpsrv_fail(ox_httpsrv *srv, int rc, const char *fmt, ...) noexcept {
  char text[sizeof srv->failure.text];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(srv->failure.mutex);
  srv->failure.code = rc;
  memcpy(srv->failure.text, text, sizeof text);
  return rc;
}

int ox_httpsrv_last_error(ox_httpsrv *srv, char *buf, size_t size) noexcept {
  if (srv == nullptr) {
    if (buf != nullptr && size != 0) snprintf(buf, size, "no server");
    return EINVAL;
  }
  std::lock_guard<std::mutex> lock(srv->failure.mutex);
  if (buf != nullptr && size != 0) {
    snprintf(buf, size, "%s", srv->failure.text);
  }
  return srv->failure.code;
}

void ox__httpsrv_flush_errors(ox_httpsrv *srv) noexcept {
  ox__errgate *gate = &srv->errors;
  uint64_t held = 0;
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (gate->held != 0) held = httpsrv_next_window(gate, httpsrv_now_s());
  }
  httpsrv_tell_held(srv, held);
}

ox_httpsrv *ox_httpsrv_new2(ox_httpauth_cb auth_cb, ox_httpreq_cb req_cb,
                            ox_err_cb err_cb, void *cls) noexcept {
  ox__errno_guard keep;
  auto *srv = new (std::nothrow) ox_httpsrv;
  if (srv == nullptr) return nullptr;
  const char *tmp = getenv("TMPDIR");
  srv->upld_dir = ox__strdup(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  if (srv->upld_dir == nullptr) {
    delete srv;
    return nullptr;
  }
  srv->auth_cb = auth_cb;
  srv->req_cb = req_cb;
  srv->err_cb = err_cb != nullptr ? err_cb : httpsrv_default_err;
  srv->cls = cls;
  return srv;
}

namespace {

// Ends the serving of |srv| short of the daemon's stop: upgraded
// connections go back to libmicrohttpd, isolated requests finish and
// resume their connections, push streams end and are resumed likewise
// (libmicrohttpd must not stop with a connection suspended), and the
// server takes no more calls.  Accepting has stopped already.
void httpsrv_halt(ox_httpsrv *srv) noexcept {
  ox__wsloops_stop(srv);
  ox__httppool_stop(&srv->pool);
  ox__httppushes_close(srv);
  srv->stopped = true;
}

// Stops the daemon, which waits until no callback runs, and the watchdog.
void httpsrv_stop_daemon(ox_httpsrv *srv) noexcept {
  ox__httpconns_stop(srv);
  MHD_stop_daemon(srv->daemon);
  // Only now: an upgrade libmicrohttpd completed while stopping may still
  // have looked for a loop.
  ox__wsloops_free(srv);
  ox__httplistener_release(srv);
  srv->daemon = nullptr;
}

void httpsrv_stop(ox_httpsrv *srv) noexcept {
  httpsrv_halt(srv);
  httpsrv_stop_daemon(srv);
}

// "127.0.0.1 " or "::1 " for an address set, else "".
void httpsrv_addr_text(const ox_httpsrv *srv, const sockaddr_storage *addr,
                       char *out, size_t size) noexcept {
  if (srv->bind_count == 0 ||
      !ox__httplistener_addr_text(addr, out, size - 1)) {
    out[0] = '\0';
    return;
  }
  strncat(out, " ", size - strlen(out) - 1);
}

// Adds the TLS options to |options| at |*n|.
void httpsrv_tls_options(const ox_httpsrv *srv, MHD_OptionItem *options,
                         size_t *n) noexcept {
  const ox__httptls *tls = &srv->tls;
  if (!tls->on) return;
  // Each handshake asks for its pair, so that pairs set while serving (a
  // renewed certificate) and pairs by server name are handed out.
  auto *retrieve = &ox__httptls_retrieve;
  options[(*n)++] = {MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
                     reinterpret_cast<void *>(retrieve)};
  options[(*n)++] = {MHD_OPTION_HTTPS_PRIORITIES, 0,
                     const_cast<char *>(ox__httptls_priorities)};
  if (tls->client_ca != nullptr) {
    // libmicrohttpd then asks each client for a certificate; the request
    // code refuses the connections whose certificate does not verify.
    options[(*n)++] = {MHD_OPTION_HTTPS_MEM_TRUST, 0, tls->client_ca};
  }
}

}  // namespace

ox_httpsrv *ox_httpsrv_new(ox_httpreq_cb req_cb, void *cls) noexcept {
  return ox_httpsrv_new2(nullptr, req_cb, nullptr, cls);
}

int ox_httpsrv_set_auth_cb(ox_httpsrv *srv, ox_httpauth_cb cb) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->auth_cb = cb;
  return 0;
}

int ox_httpsrv_set_req_cb(ox_httpsrv *srv, ox_httpreq_cb cb) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->req_cb = cb;
  return 0;
}

int ox_httpsrv_set_err_cb(ox_httpsrv *srv, ox_err_cb cb) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->err_cb = cb != nullptr ? cb : httpsrv_default_err;
  return 0;
}

namespace {

// Adds the route, recording why it could not be.
int httpsrv_add_route(ox_httpsrv *srv, const char *method, const char *pattern,
                      ox_httpreq_cb cb, void *cls) noexcept {
  char why[sizeof srv->failure.text];
  int rc = ox__httproutes_add(&srv->routes, method, pattern, cb, cls, why,
                              sizeof why);
  return rc != 0 ? ox__httpsrv_fail(srv, rc, "%s", why) : 0;
}

}  // namespace

int ox_httpsrv_add_route(ox_httpsrv *srv, const char *method,
                         const char *pattern, ox_httpreq_cb cb,
                         void *cls) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (method == nullptr || *method == '\0' || pattern == nullptr ||
      cb == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "a route needs a method, a pattern and a callback");
  }
  ox__errno_guard keep;
  return httpsrv_add_route(srv, method, pattern, cb, cls);
}

int ox_httpsrv_set_thr_pool_size(ox_httpsrv *srv, unsigned int size) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->thr_pool_size = size;
  return 0;
}

int ox_httpsrv_set_con_limit(ox_httpsrv *srv, unsigned int limit) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->con_limit = limit != 0 ? limit : 1000;
  return 0;
}

int ox_httpsrv_set_con_mem_limit(ox_httpsrv *srv, size_t bytes) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (bytes < httpsrv_min_con_mem) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "%zu bytes of connection memory are too few: "
                            "at least %zu are needed",
                            bytes, httpsrv_min_con_mem);
  }
  srv->con_mem_limit = bytes;
  return 0;
}

int ox_httpsrv_set_con_timeout(ox_httpsrv *srv, unsigned int seconds) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->con_timeout = seconds;
  return 0;
}

int ox_httpsrv_set_payld_limit(ox_httpsrv *srv, size_t bytes) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->payld_limit = bytes;
  return 0;
}

int ox_httpsrv_set_uplds_limit(ox_httpsrv *srv, uint64_t bytes) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->uplds_limit = bytes;
  return 0;
}

int ox_httpsrv_set_con_per_ip_limit(ox_httpsrv *srv,
                                    unsigned int limit) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->con_per_ip = limit;
  return 0;
}

int ox_httpsrv_set_head_timeout(ox_httpsrv *srv,
                                unsigned int seconds) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->head_timeout = seconds;
  return 0;
}

int ox_httpsrv_set_body_timeout(ox_httpsrv *srv, unsigned int seconds,
                                unsigned int min_rate) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->body_timeout = seconds;
  srv->body_min_rate = min_rate;
  return 0;
}

int ox_httpsrv_set_send_timeout(ox_httpsrv *srv, unsigned int seconds,
                                unsigned int min_rate) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->send_timeout = seconds;
  srv->send_min_rate = min_rate;
  return 0;
}

int ox_httpsrv_set_fields_limit(ox_httpsrv *srv, unsigned int count) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->fields_max = count;
  return 0;
}

int ox_httpsrv_set_files_limit(ox_httpsrv *srv, unsigned int count) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->files_max = count;
  return 0;
}

int ox_httpsrv_set_isolate_limits(ox_httpsrv *srv, unsigned int threads,
                                  unsigned int queue) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (threads == 0) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "isolated requests need at least one thread");
  }
  srv->pool.max_threads = threads;
  srv->pool.max_queue = queue;
  return 0;
}

int ox_httpsrv_set_match_limit(ox_httpsrv *srv, uint32_t steps) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (steps == 0) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "a route pattern needs at least one matching "
                            "step");
  }
  srv->match_limit = steps;
  return 0;
}

int ox_httpsrv_set_metrics(ox_httpsrv *srv, bool on) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->stats.on = on;
  return 0;
}

int ox_httpsrv_metrics(ox_httpsrv *srv, ox_str *out) noexcept {
  if (srv == nullptr) return EINVAL;
  if (out == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL, "no text to write the metrics to");
  }
  ox__errno_guard keep;
  int rc = ox__httpstats_write(srv, out);
  return rc != 0 ? ox__httpsrv_fail(srv, rc, "no memory for the metrics") : 0;
}

namespace {

// |path| as a pattern that matches it and nothing else: every byte that
// is not a letter or a digit escaped.
char *httpsrv_literal(const char *path) noexcept {
  ox_str *pattern = ox_str_new();
  if (pattern == nullptr) return nullptr;
  int rc = 0;
  for (const char *p = path; rc == 0 && *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                 (c >= '0' && c <= '9') || c >= 0x80;
    if (!plain) rc = ox_str_write(pattern, "\\", 1);
    if (rc == 0) rc = ox_str_write(pattern, p, 1);
  }
  char *text = rc == 0 ? ox__strdup(ox_str_content(pattern)) : nullptr;
  ox_str_free(pattern);
  return text;
}

void httpsrv_serve_metrics(void *cls, ox_httpreq *req,
                           ox_httpres *res) noexcept {
  (void)cls;
  ox_httpsrv *srv = ox_httpreq_srv(req);
  ox_str *text = ox_str_new();
  if (text == nullptr || ox__httpstats_write(srv, text) != 0) {
    ox_str_free(text);
    return;  // the library answers 500
  }
  ox_httpres_sendbinary(res, ox_str_content(text), ox_str_length(text),
                        "text/plain; version=0.0.4; charset=utf-8", 200);
  ox_str_free(text);
}

void httpsrv_serve_ready(void *cls, ox_httpreq *req, ox_httpres *res) noexcept {
  (void)cls;
  ox_httpsrv *srv = ox_httpreq_srv(req);
  bool ready = srv->ready.load(std::memory_order_relaxed) &&
               !srv->draining.load(std::memory_order_relaxed);
  const char *text = ready ? "ready\n" : "not ready\n";
  ox_httpres_sendbinary(res, text, strlen(text), "text/plain",
                        ready ? 200 : 503);
}

int httpsrv_add_literal_route(ox_httpsrv *srv, const char *path,
                              ox_httpreq_cb cb) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (path == nullptr || *path != '/') {
    return ox__httpsrv_fail(srv, EINVAL, "the path must begin with '/'");
  }
  ox__errno_guard keep;
  std::unique_ptr<char, ox__free_deleter> pattern{httpsrv_literal(path)};
  if (!pattern) return ox__httpsrv_fail(srv, ENOMEM, "no memory for the route");
  return httpsrv_add_route(srv, "GET", pattern.get(), cb, nullptr);
}

}  // namespace

int ox_httpsrv_add_metrics_route(ox_httpsrv *srv, const char *path) noexcept {
  int rc = httpsrv_add_literal_route(srv, path, httpsrv_serve_metrics);
  if (rc == 0) srv->stats.on = true;
  return rc;
}

int ox_httpsrv_add_ready_route(ox_httpsrv *srv, const char *path) noexcept {
  return httpsrv_add_literal_route(srv, path, httpsrv_serve_ready);
}

int ox_httpsrv_set_ready(ox_httpsrv *srv, bool ready) noexcept {
  if (srv == nullptr) return EINVAL;
  srv->ready.store(ready, std::memory_order_relaxed);
  return 0;
}

int ox_httpsrv_set_upld_dir(ox_httpsrv *srv, const char *dir) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (dir == nullptr || *dir == '\0') {
    return ox__httpsrv_fail(srv, EINVAL, "the upload directory has no name");
  }
  char *copy = ox__strdup(dir);
  if (copy == nullptr) {
    return ox__httpsrv_fail(srv, ENOMEM, "no memory for the directory's name");
  }
  ox_free(srv->upld_dir);
  srv->upld_dir = copy;
  return 0;
}

namespace {

// Reads the PEM file |path| into |*pem|; a failure is recorded and told
// to the error callback, with the file's name.
int httpsrv_read_pem(ox_httpsrv *srv, const char *path, char **pem) noexcept {
  int rc = ox__httptls_read(path, pem);
  if (rc != 0) {
    char shown[256];
    ox__escape(path, shown, sizeof shown);
    const char *why = rc == EFBIG ? "larger than 1 MiB" : strerror(rc);
    ox__httpsrv_error(srv, "TLS: cannot read %s: %s", shown, why);
    ox__httpsrv_fail(srv, rc, "cannot read %s: %s", shown, why);
  }
  return rc;
}

}  // namespace

int ox_httpsrv_set_before(ox_httpsrv *srv, ox_httpbefore_cb cb,
                          void *cls) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->before_cb = cb;
  srv->before_cls = cls;
  return 0;
}

int ox_httpsrv_set_after(ox_httpsrv *srv, ox_httpafter_cb cb,
                         void *cls) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->after_cb = cb;
  srv->after_cls = cls;
  return 0;
}

int ox_httpsrv_set_cors(ox_httpsrv *srv, const ox_cors *cors) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  ox__cors *made = nullptr;
  if (cors != nullptr) {
    ox__errno_guard keep;
    if (int rc = ox__cors_make(cors, &made); rc != 0) {
      return ox__httpsrv_fail(
          srv, rc,
          rc == ENOMEM ? "no memory for the CORS settings"
                       : "CORS needs origins or an origin callback, and "
                         "no empty origin nor a control byte in its texts");
    }
  }
  ox__cors_free(srv->cors);
  srv->cors = made;
  return 0;
}

namespace {

void httpsrv_page_free(ox__statuspage *page) noexcept {
  ox_free(page->body);
  ox_free(page->type);
  ox_free(page);
}

// Takes |page| out of the server's list, if it is there.
void httpsrv_page_drop(ox_httpsrv *srv, unsigned int status) noexcept {
  for (ox__statuspage **at = &srv->pages; *at != nullptr;
       at = &(*at)->next) {
    if ((*at)->status == status) {
      ox__statuspage *gone = *at;
      *at = gone->next;
      httpsrv_page_free(gone);
      return;
    }
  }
}

}  // namespace

const ox__statuspage *ox__httpsrv_page(const ox_httpsrv *srv,
                                       unsigned int status) noexcept {
  for (const ox__statuspage *p = srv->pages; p != nullptr; p = p->next) {
    if (p->status == status) return p;
  }
  return nullptr;
}

int ox_httpsrv_set_status_page(ox_httpsrv *srv, unsigned int status,
                               const char *body,
                               const char *content_type) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (status != 301 && (status < 400 || status > 599)) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "status %u has no page of the program's: 301 "
                            "and 400 to 599 have",
                            status);
  }
  if (content_type != nullptr && !ox__header_safe(content_type)) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "the content type holds a control byte");
  }
  ox__errno_guard keep;
  if (body == nullptr) {
    httpsrv_page_drop(srv, status);
    return 0;
  }
  auto *page =
      static_cast<ox__statuspage *>(ox_alloc(sizeof(ox__statuspage)));
  if (page == nullptr) {
    return ox__httpsrv_fail(srv, ENOMEM, "no memory for the page");
  }
  page->status = status;
  page->length = strlen(body);
  page->body = ox__strdup(body);
  page->type = content_type != nullptr && *content_type != '\0'
                   ? ox__strdup(content_type)
                   : nullptr;
  if (page->body == nullptr ||
      (page->type == nullptr && content_type != nullptr &&
       *content_type != '\0')) {
    httpsrv_page_free(page);
    return ox__httpsrv_fail(srv, ENOMEM, "no memory for the page");
  }
  httpsrv_page_drop(srv, status);
  page->next = srv->pages;
  srv->pages = page;
  return 0;
}

int ox_httpsrv_set_compression(ox_httpsrv *srv, int level) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (level < 0 || level > 9) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "compression level %d is not one of 0 to 9", level);
  }
  srv->gzip_level = level;
  return 0;
}

int ox_httpsrv_set_mime(ox_httpsrv *srv, const char *ext,
                        const char *type) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  char key[ox__mime_ext_max + 1];
  if (ext == nullptr || type == nullptr || *type == '\0' ||
      !ox__mime_ext_key(ext, key)) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "a content type needs a type and an extension "
                            "of 1 to %d bytes without '/' or a second '.'",
                            static_cast<int>(ox__mime_ext_max));
  }
  ox__errno_guard keep;
  int rc = ox_strmap_set(&srv->mimes, key, type);
  return rc != 0 ? ox__httpsrv_fail(srv, rc, "no memory for the content type")
                 : 0;
}

int ox_httpsrv_set_file_cache(ox_httpsrv *srv, unsigned int entries) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->cached_max = entries;
  return 0;
}

int ox_httpsrv_set_ws_limits(ox_httpsrv *srv, size_t message_max,
                             size_t queue_max, ox_wsfull when_full) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (when_full != OX_WSFULL_REFUSE && when_full != OX_WSFULL_CLOSE &&
      when_full != OX_WSFULL_RETRY) {
    return ox__httpsrv_fail(srv, EINVAL, "unknown queue policy %d",
                            static_cast<int>(when_full));
  }
  if (message_max != 0) srv->ws.message_max = message_max;
  if (queue_max != 0) srv->ws.queue_max = queue_max;
  srv->ws.when_full = when_full;
  return 0;
}

int ox_httpsrv_set_ws_timeouts(ox_httpsrv *srv, unsigned int ping_interval,
                               unsigned int idle_timeout) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  unsigned int ping = ping_interval != 0 ? ping_interval : srv->ws.ping;
  unsigned int idle = idle_timeout != 0 ? idle_timeout : srv->ws.idle;
  if (idle <= ping) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "the idle timeout (%u s) must be longer than the "
                            "ping interval (%u s)",
                            idle, ping);
  }
  srv->ws.ping = ping;
  srv->ws.idle = idle;
  return 0;
}

int ox_httpsrv_set_ws_deflate(ox_httpsrv *srv, bool on) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->ws.deflate = on;
  return 0;
}

const char *ox_httpsrv_mime(ox_httpsrv *srv, const char *path) noexcept {
  if (srv == nullptr || path == nullptr) {
    return ox__einval<const char *>(nullptr);
  }
  return ox__mime_of(srv->mimes, path);
}

namespace {

// Checks |host| for an SNI pair, recording why it cannot name one.
int httpsrv_sni_host(ox_httpsrv *srv, const char *host) noexcept {
  if (ox__httptls_host_ok(host)) return 0;
  if (host == nullptr) return ox__httpsrv_fail(srv, EINVAL, "no host name");
  char shown[300];
  return ox__httpsrv_fail(srv, EINVAL,
                          "\"%s\" is no DNS name, nor \"*.\" before one",
                          ox__escape(host, shown, sizeof shown));
}

// Whether the TLS pairs of |srv| may be set now: before listen, or while
// it serves HTTPS (a renewed certificate), but never to make a plain
// server a TLS one.
int httpsrv_tls_settable(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return EINVAL;
  if (srv->stopped) return httpsrv_too_late(srv);
  if (srv->daemon != nullptr && !srv->tls.on) {
    return ox__httpsrv_fail(srv, EALREADY,
                            "the server listens already over plain HTTP: "
                            "TLS is set before listening");
  }
  return 0;
}

// Checks the pair in memory and sets it for |host| (NULL: the default).
int httpsrv_set_pair(ox_httpsrv *srv, const char *host, const char *cert_pem,
                     const char *key_pem, const char *key_pwd) noexcept {
  if (int rc = httpsrv_tls_settable(srv); rc != 0) return rc;
  if (cert_pem == nullptr || key_pem == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL, "TLS needs a certificate and a key");
  }
  ox__errno_guard keep;
  char why[sizeof srv->failure.text];
  int rc = ox__httptls_set(&srv->tls, host, cert_pem, key_pem, key_pwd, why,
                           sizeof why);
  if (rc != 0) {
    ox__httpsrv_error(srv, "TLS: %s", why);
    ox__httpsrv_fail(srv, rc, "%s", why);
  }
  return rc;
}

// Reads the pair's files and sets it for |host| (NULL: the default).
int httpsrv_set_pair_files(ox_httpsrv *srv, const char *host,
                           const char *cert_file, const char *key_file,
                           const char *key_pwd) noexcept {
  if (int rc = httpsrv_tls_settable(srv); rc != 0) return rc;
  if (cert_file == nullptr || key_file == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "TLS needs a certificate file and a key file");
  }
  ox__errno_guard keep;
  char *cert = nullptr, *key = nullptr;
  int rc = httpsrv_read_pem(srv, cert_file, &cert);
  if (rc == 0) rc = httpsrv_read_pem(srv, key_file, &key);
  if (rc == 0) rc = httpsrv_set_pair(srv, host, cert, key, key_pwd);
  ox__httptls_forget(cert);
  ox__httptls_forget(key);  // wiped: it may be unencrypted
  return rc;
}

}  // namespace

int ox_httpsrv_set_tls(ox_httpsrv *srv, const char *cert_file,
                       const char *key_file, const char *key_pwd) noexcept {
  return httpsrv_set_pair_files(srv, nullptr, cert_file, key_file, key_pwd);
}

int ox_httpsrv_set_tls_mem(ox_httpsrv *srv, const char *cert_pem,
                           const char *key_pem, const char *key_pwd) noexcept {
  return httpsrv_set_pair(srv, nullptr, cert_pem, key_pem, key_pwd);
}

int ox_httpsrv_set_tls_sni(ox_httpsrv *srv, const char *host,
                           const char *cert_file, const char *key_file,
                           const char *key_pwd) noexcept {
  if (srv != nullptr) {
    if (int rc = httpsrv_sni_host(srv, host); rc != 0) return rc;
  }
  return httpsrv_set_pair_files(srv, host, cert_file, key_file, key_pwd);
}

int ox_httpsrv_set_tls_sni_mem(ox_httpsrv *srv, const char *host,
                               const char *cert_pem, const char *key_pem,
                               const char *key_pwd) noexcept {
  if (srv != nullptr) {
    if (int rc = httpsrv_sni_host(srv, host); rc != 0) return rc;
  }
  return httpsrv_set_pair(srv, host, cert_pem, key_pem, key_pwd);
}

int ox_httpsrv_set_tls_client_ca(ox_httpsrv *srv,
                                 const char *ca_file) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (ca_file == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL, "no CA file");
  }
  ox__errno_guard keep;
  char *pem = nullptr;
  int rc = httpsrv_read_pem(srv, ca_file, &pem);
  if (rc != 0) return rc;
  char why[sizeof srv->failure.text];
  rc = ox__httptls_set_client_ca(&srv->tls, pem, why, sizeof why);
  if (rc == EINVAL) ox__httpsrv_error(srv, "TLS: %s", why);
  if (rc != 0) ox__httpsrv_fail(srv, rc, "%s", why);
  ox_free(pem);
  return rc;
}

namespace {

// True for a text that may be a host name: dot-separated labels of
// letters, digits and hyphens, whose last is not all digits.  A mistyped
// address ("127.0.0", "1.2.3.256") is no name, and is never looked up.
bool httpsrv_host_name_ok(const char *name) noexcept {
  size_t len = strlen(name), label = 0;
  bool digits = true;  // the current label is all digits so far
  if (len == 0 || len > 253) return false;
  for (const char *p = name; *p != '\0'; p++) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (ch == '.') {
      if (label == 0) return false;
      label = 0;
      digits = true;
    } else if (isalnum(ch) != 0 || ch == '-') {
      if (++label > 63) return false;
      digits = digits && isdigit(ch) != 0;
    } else {
      return false;
    }
  }
  return label != 0 && !digits;
}

// The errno value for a getaddrinfo() failure.
int httpsrv_from_gai(int rc) noexcept {
  switch (rc) {
    case EAI_AGAIN:
      return EAGAIN;
    case EAI_MEMORY:
      return ENOMEM;
    case EAI_SYSTEM:
      return errno != 0 ? errno : EIO;
    default:  // EAI_NONAME, EAI_NODATA, EAI_FAIL, EAI_ADDRFAMILY
      return ENOENT;
  }
}

bool httpsrv_same_addr(const sockaddr_storage *a,
                       const sockaddr_storage *b) noexcept {
  size_t len = a->ss_family == AF_INET ? sizeof(sockaddr_in)
                                       : sizeof(sockaddr_in6);
  return a->ss_family == b->ss_family && memcmp(a, b, len) == 0;
}

// True for "localhost" and the names under it, which are the loopback
// addresses whatever the resolver says (RFC 6761), and whether or not the
// machine has an /etc/hosts (minimal containers have none).
bool httpsrv_is_localhost(const char *name) noexcept {
  static const char local[] = "localhost";
  const size_t tail = sizeof local - 1;
  size_t n = strlen(name);
  if (n > 0 && name[n - 1] == '.') n--;  // the root's dot
  if (n < tail || strncasecmp(name + n - tail, local, tail) != 0) return false;
  return n == tail || name[n - tail - 1] == '.';
}

// The loopback addresses, IPv4 first, into |out|; returns their count.
unsigned int httpsrv_loopback(sockaddr_storage *out) noexcept {
  auto *in = reinterpret_cast<sockaddr_in *>(&out[0]);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out[1]);
  in6->sin6_family = AF_INET6;
  in6->sin6_addr = in6addr_loopback;
  return 2;
}

// Resolves |name| into |out|: its IP addresses without repeats, the first
// ox__httplistener_max of them.  Returns their count, or 0 and |*rc|.
unsigned int httpsrv_resolve(const char *name, sockaddr_storage *out,
                             int *rc) noexcept {
  if (httpsrv_is_localhost(name)) return httpsrv_loopback(out);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  errno = 0;
  if (int gai = getaddrinfo(name, nullptr, &hints, &list); gai != 0) {
    *rc = httpsrv_from_gai(gai);
    return 0;
  }
  unsigned int n = 0;
  for (addrinfo *ai = list; ai != nullptr && n < ox__httplistener_max;
       ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
        ai->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    sockaddr_storage ss{};
    memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
    bool seen = false;
    for (unsigned int i = 0; i < n && !seen; i++) {
      seen = httpsrv_same_addr(&out[i], &ss);
    }
    if (!seen) out[n++] = ss;
  }
  freeaddrinfo(list);
  if (n == 0) *rc = ENOENT;
  return n;
}

}  // namespace

int ox_httpsrv_set_bind_addr(ox_httpsrv *srv, const char *addr) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (addr == nullptr) return ox__httpsrv_fail(srv, EINVAL, "no address");
  ox__errno_guard keep;
  sockaddr_storage found[ox__httplistener_max]{};
  unsigned int n = 1;
  auto *in = reinterpret_cast<sockaddr_in *>(&found[0]);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(&found[0]);
  if (inet_pton(AF_INET, addr, &in->sin_addr) == 1) {
    found[0].ss_family = AF_INET;
  } else if (inet_pton(AF_INET6, addr, &in6->sin6_addr) == 1) {
    found[0].ss_family = AF_INET6;
  } else if (!httpsrv_host_name_ok(addr)) {
    char shown[128];
    return ox__httpsrv_fail(srv, EINVAL,
                            "\"%s\" is no IPv4 or IPv6 address, nor a host "
                            "name",
                            ox__escape(addr, shown, sizeof shown));
  } else {
    int rc = 0;
    n = httpsrv_resolve(addr, found, &rc);
    if (n == 0) {
      char shown[128];
      return ox__httpsrv_fail(srv, rc, "the host name \"%s\" does not resolve%s",
                              ox__escape(addr, shown, sizeof shown),
                              rc == EAGAIN ? " now (try again)" : "");
    }
  }
  for (unsigned int i = 0; i < n; i++) srv->bind_addrs[i] = found[i];
  srv->bind_count = n;
  return 0;
}

int ox_httpsrv_bound_addrs(ox_httpsrv *srv, char *buf, size_t size) noexcept {
  if (srv == nullptr || buf == nullptr || srv->daemon == nullptr ||
      srv->stopped) {
    return EINVAL;
  }
  const ox__httplistener *l = &srv->listener;
  size_t used = 0;
  for (unsigned int i = 0; i < l->count; i++) {
    if (i != 0 && used + 1 < size) buf[used++] = ' ';
    if (used >= size ||
        !ox__httplistener_addr_text(&l->addrs[i], buf + used, size - used)) {
      if (size != 0) buf[0] = '\0';
      return ERANGE;
    }
    used += strlen(buf + used);
  }
  if (size == 0) return ERANGE;
  buf[used] = '\0';
  return 0;
}

int ox_httpsrv_set_reuse_port(ox_httpsrv *srv, bool reuse) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->reuse_port = reuse;
  return 0;
}

int ox_httpsrv_set_log(ox_httpsrv *srv, ox_httplog_cb cb, void *cls) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  srv->log_cb = cb;
  srv->log_cls = cls;
  return 0;
}

namespace {

// Starts the daemon without a listening socket of its own: the listener
// hands it each client.
MHD_Daemon *httpsrv_start_daemon(ox_httpsrv *srv, bool conn_threads) noexcept {
  unsigned int pool = conn_threads ? 0 : srv->thr_pool_size;
  MHD_OptionItem options[20];
  size_t n = 0;
  // The listener keeps to the limit; libmicrohttpd counts a closing
  // connection a moment longer than it does, and must not refuse a client
  // the listener took in that moment.
  options[n++] = {MHD_OPTION_CONNECTION_LIMIT,
                  static_cast<intptr_t>(srv->con_limit) + 64, nullptr};
  options[n++] = {MHD_OPTION_CONNECTION_TIMEOUT, srv->con_timeout, nullptr};
  options[n++] = {MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                  static_cast<intptr_t>(srv->con_mem_limit), nullptr};
  options[n++] = {MHD_OPTION_NOTIFY_CONNECTION,
                  reinterpret_cast<intptr_t>(ox__httpconn_notify), srv};
  options[n++] = {MHD_OPTION_NOTIFY_COMPLETED,
                  reinterpret_cast<intptr_t>(ox__httpreq_completed), srv};
  options[n++] = {MHD_OPTION_URI_LOG_CALLBACK,
                  reinterpret_cast<intptr_t>(ox__httpconn_target), srv};
  options[n++] = {MHD_OPTION_UNESCAPE_CALLBACK,
                  reinterpret_cast<intptr_t>(ox__httpconn_unescape), srv};
  if (srv->con_per_ip != 0) {
    options[n++] = {MHD_OPTION_PER_IP_CONNECTION_LIMIT, srv->con_per_ip,
                    nullptr};
  }
  if (pool > 1) options[n++] = {MHD_OPTION_THREAD_POOL_SIZE, pool, nullptr};
  httpsrv_tls_options(srv, options, &n);
  options[n] = {MHD_OPTION_END, 0, nullptr};
  return MHD_start_daemon(
      httpsrv_flags(srv, conn_threads), 0, nullptr, nullptr, ox__httpreq_access,
      srv,
      // The logger first, so that libmicrohttpd's option checks use it.
      MHD_OPTION_EXTERNAL_LOGGER, httpsrv_log, srv, MHD_OPTION_ARRAY, options,
      MHD_OPTION_END);
}

}  // namespace

namespace {

// Undoes what a listen started, when a later step of it failed.
void httpsrv_unlisten(ox_httpsrv *srv) noexcept {
  ox__wsloops_stop(srv);
  ox__httpconns_stop(srv);
  if (srv->daemon != nullptr) MHD_stop_daemon(srv->daemon);
  ox__wsloops_free(srv);
  ox__httplistener_release(srv);
  srv->daemon = nullptr;
}

// Records |rc| and the reason of a failed listen, and tells the error
// callback too: a listen that fails in a service is read in its log.
int httpsrv_listen_failed(ox_httpsrv *srv, int rc, const char *fmt,
                          ...) noexcept __attribute__((format(printf, 3, 4)));

int httpsrv_listen_failed(ox_httpsrv *srv, int rc, const char *fmt,
                          ...) noexcept {
  char why[sizeof srv->failure.text];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(why, sizeof why, fmt, ap);
  va_end(ap);
  ox__httpsrv_error(srv, "%s", why);
  return ox__httpsrv_fail(srv, rc, "%s", why);
}

// Starts the daemon, the watchdog and the listener's thread on the open
// socket.  Returns 0 or the errno of the step that failed, with everything
// undone.
int httpsrv_start(ox_httpsrv *srv, bool conn_threads, uint16_t bound) noexcept {
  srv->conn_threads = conn_threads;
  errno = 0;
  srv->daemon = httpsrv_start_daemon(srv, conn_threads);
  if (srv->daemon == nullptr) {
    // libmicrohttpd told its reason to the error callback; errno is the
    // last its system calls left, when they left one.
    int rc = errno != 0 ? errno : EINVAL;
    httpsrv_unlisten(srv);
    return httpsrv_listen_failed(
        srv, rc, "libmicrohttpd cannot start serving on port %u: %s",
        static_cast<unsigned>(bound), strerror(rc));
  }
  if (srv->wsroutes != nullptr) {
    if (int rc = ox__wsloops_start(srv); rc != 0) {
      httpsrv_unlisten(srv);
      return httpsrv_listen_failed(
          srv, rc, "no WebSocket loop for port %u: %s",
          static_cast<unsigned>(bound), strerror(rc));
    }
  }
  if (!ox__httpconns_start(srv)) {
    httpsrv_unlisten(srv);
    return httpsrv_listen_failed(
        srv, EAGAIN, "no thread for the connection watchdog (port %u)",
        static_cast<unsigned>(bound));
  }
  if (int rc = ox__httplistener_start(srv); rc != 0) {
    httpsrv_unlisten(srv);
    return httpsrv_listen_failed(
        srv, rc, "no thread to accept connections on port %u: %s",
        static_cast<unsigned>(bound), strerror(rc));
  }
  return 0;
}

}  // namespace

int ox_httpsrv_listen2(ox_httpsrv *srv, uint16_t port,
                       bool conn_threads) noexcept {
  if (srv == nullptr) return EINVAL;
  if (srv->stopped) {
    return ox__httpsrv_fail(srv, EALREADY,
                            "the server was drained: a server listens once");
  }
  if (srv->daemon != nullptr) {
    return ox__httpsrv_fail(srv, EALREADY, "the server listens already");
  }
  ox__errno_guard keep;
  if (srv->tls.client_ca != nullptr && !srv->tls.on) {
    return httpsrv_listen_failed(srv, EINVAL,
                                 "TLS: client CAs without a certificate of "
                                 "the server's own");
  }
  uint16_t bound = 0;
  sockaddr_storage at{};
  if (int rc = ox__httplistener_open(srv, port, &bound, &at); rc != 0) {
    char addr[INET6_ADDRSTRLEN + 16] = "";
    httpsrv_addr_text(srv, &at, addr, sizeof addr);
    return httpsrv_listen_failed(srv, rc, "cannot listen on %sport %u: %s",
                                 addr, static_cast<unsigned>(port),
                                 strerror(rc));
  }
  if (ox__httpstats_start(&srv->stats, srv->routes.count) != 0) {
    ox__httplistener_release(srv);
    return httpsrv_listen_failed(srv, ENOMEM,
                                 "no memory for the route metrics");
  }
  // Read once: the umask is the process's, and reading it may set it.
  srv->file_mode = ox__httpupld_file_mode();
  ox__httpfcache_limit(&srv->files, srv->cached_max);
  if (int rc = httpsrv_start(srv, conn_threads, bound); rc != 0) return rc;
  srv->port = bound;
  return 0;
}

bool ox_httpsrv_listen(ox_httpsrv *srv, uint16_t port,
                       bool conn_threads) noexcept {
  int rc = ox_httpsrv_listen2(srv, port, conn_threads);
  if (rc != 0) errno = rc;
  return rc == 0;
}

uint16_t ox_httpsrv_port(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return ox__einval<uint16_t>(0);
  return srv->port;
}

const char *ox_httpsrv_upld_dir(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return ox__einval<const char *>(nullptr);
  return srv->upld_dir;
}

namespace {

// The checks of a drain: servers that listen, each once.
int httpsrv_drainable(ox_httpsrv *const *srvs, size_t n) noexcept {
  if (n != 0 && srvs == nullptr) return EINVAL;
  for (size_t i = 0; i < n; i++) {
    ox_httpsrv *srv = srvs[i];
    if (srv == nullptr) return EINVAL;
    if (srv->daemon == nullptr || srv->stopped) {
      return ox__httpsrv_fail(srv, EINVAL,
                              srv->stopped ? "the server was drained already"
                                           : "the server does not listen");
    }
    for (size_t j = 0; j < i; j++) {
      if (srvs[j] == srv) {
        return ox__httpsrv_fail(srv, EINVAL,
                                "the server is listed twice in one drain");
      }
    }
  }
  return 0;
}

// From here every reply closes its connection, and new clients are
// refused at once rather than left in a backlog nobody accepts from.  Push
// streams end now: they would never finish by themselves.
void httpsrv_drain_begin(ox_httpsrv *srv) noexcept {
  srv->draining.store(true, std::memory_order_relaxed);
  ox__httplistener_stop(srv);
  ox__wsloops_drain(srv);
  ox__httppushes_close(srv);
}

// Closes the connections between requests; returns how many still have
// one.
unsigned int httpsrv_drain_busy(ox_httpsrv *const *srvs, size_t n) noexcept {
  unsigned int busy = 0;
  for (size_t i = 0; i < n; i++) busy += ox__httpconns_close_idle(srvs[i]);
  return busy;
}

// How long a drain waits past its deadline for serving threads to leave
// the program's stream callbacks, once their connections are cut.
constexpr auto httpsrv_callback_grace = std::chrono::milliseconds(200);

// True when no serving thread of the |n| servers is inside a program's
// stream callback.
bool httpsrv_callbacks_over(ox_httpsrv *const *srvs, size_t n) noexcept {
  for (size_t i = 0; i < n; i++) {
    if (srvs[i]->producing.load(std::memory_order_acquire) != 0) return false;
  }
  return true;
}

}  // namespace

int ox_httpsrv_drain_many(ox_httpsrv *const *srvs, size_t n,
                          unsigned int timeout_ms,
                          unsigned int *cuts) noexcept {
  if (cuts != nullptr) {
    for (size_t i = 0; i < n; i++) cuts[i] = 0;
  }
  if (int rc = httpsrv_drainable(srvs, n); rc != 0) return rc;
  ox__errno_guard keep;
  for (size_t i = 0; i < n; i++) httpsrv_drain_begin(srvs[i]);
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // Connections between requests are closed as they become so; the drain
  // ends when none is left with a request, or at the one deadline of all.
  while (httpsrv_drain_busy(srvs, n) != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (size_t i = 0; i < n; i++) {
    ox_httpsrv *srv = srvs[i];
    unsigned int left =
        ox__httpconns_close_idle(srv) != 0 ? ox__httpconns_cut(srv) : 0;
    httpsrv_halt(srv);
    if (cuts != nullptr) cuts[i] = left;
  }
  // libmicrohttpd's stop waits for every serving thread, and a stream
  // callback cannot be interrupted: one that blocks on, its connection cut
  // already, is not waited for past a moment.  Its daemon then stops in
  // ox_httpsrv_free(), which waits for it.
  deadline = std::chrono::steady_clock::now() + httpsrv_callback_grace;
  while (!httpsrv_callbacks_over(srvs, n) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (size_t i = 0; i < n; i++) {
    if (srvs[i]->producing.load(std::memory_order_acquire) == 0) {
      httpsrv_stop_daemon(srvs[i]);
    }
  }
  return 0;
}

int ox_httpsrv_drain(ox_httpsrv *srv, unsigned int timeout_ms,
                     unsigned int *cut) noexcept {
  return ox_httpsrv_drain_many(&srv, 1, timeout_ms, cut);
}

void ox_httpsrv_free(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return;
  if (srv->daemon != nullptr) {
    // Stop accepting first: no connection starts while the rest stops.
    // After a drain that left a stream callback running, only the daemon
    // is left to stop.
    ox__httplistener_stop(srv);
    httpsrv_stop(srv);
  }
  ox__httptls_clear(&srv->tls);
  ox__httproutes_free(&srv->routes);
  ox__wsroutes_free(srv->wsroutes);
  ox__cors_free(srv->cors);
  while (srv->pages != nullptr) httpsrv_page_drop(srv, srv->pages->status);
  ox_free(srv->upld_dir);
  ox_strmap_cleanup(&srv->mimes);
  delete srv;
}
