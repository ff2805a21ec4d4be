// Server: settings, the libmicrohttpd daemon, and a stop that waits for
// every callback to be over.
#include "ox_httpsrv.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_httpreq.h"

namespace {

constexpr size_t httpsrv_min_con_mem = 4096;

void httpsrv_default_err(void *cls, const char *err) noexcept {
  (void)cls;
  fputs(err, stderr);
  fflush(stderr);
}

// libmicrohttpd's own diagnostics go to the error callback too.
void httpsrv_log(void *cls, const char *fmt, va_list ap) noexcept {
  auto *srv = static_cast<ox_httpsrv *>(cls);
  char text[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsnprintf(text, sizeof(text), fmt, ap);
#pragma GCC diagnostic pop
  srv->err_cb(srv->cls, text);
}

// A setter's common checks: a server that exists and does not listen yet.
int httpsrv_settable(const ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return EINVAL;
  return srv->daemon != nullptr ? EALREADY : 0;
}

unsigned int httpsrv_flags(bool conn_threads) noexcept {
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG |
                       MHD_USE_ITC;
  if (conn_threads) {
    // Each connection's own thread already serves an isolated request.
    flags |= MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL;
  } else {
    flags |= MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  }
  return flags;
}

}  // namespace

void ox__httpsrv_error(ox_httpsrv *srv, const char *fmt, ...) noexcept {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);
  srv->err_cb(srv->cls, text);
}

bool ox__httpsrv_isolate_begin(ox_httpsrv *srv) noexcept {
  std::lock_guard<std::mutex> lock(srv->isolated_mutex);
  if (srv->stopping) return false;
  srv->isolated++;
  return true;
}

void ox__httpsrv_isolate_end(ox_httpsrv *srv) noexcept {
  // Notify under the lock: once the lock is released the waiter may free
  // the server, and this thread touches it no more.
  std::lock_guard<std::mutex> lock(srv->isolated_mutex);
  srv->isolated--;
  srv->isolated_cv.notify_all();
}

ox_httpsrv *ox_httpsrv_new2(ox_httpauth_cb auth_cb, ox_httpreq_cb req_cb,
                            ox_err_cb err_cb, void *cls) noexcept {
  if (req_cb == nullptr) return ox__einval<ox_httpsrv *>(nullptr);
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

ox_httpsrv *ox_httpsrv_new(ox_httpreq_cb req_cb, void *cls) noexcept {
  return ox_httpsrv_new2(nullptr, req_cb, nullptr, cls);
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
  if (bytes < httpsrv_min_con_mem) return EINVAL;
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

int ox_httpsrv_set_upld_dir(ox_httpsrv *srv, const char *dir) noexcept {
  if (int rc = httpsrv_settable(srv); rc != 0) return rc;
  if (dir == nullptr || *dir == '\0') return EINVAL;
  char *copy = ox__strdup(dir);
  if (copy == nullptr) return ENOMEM;
  ox_free(srv->upld_dir);
  srv->upld_dir = copy;
  return 0;
}

bool ox_httpsrv_listen(ox_httpsrv *srv, uint16_t port,
                       bool conn_threads) noexcept {
  if (srv == nullptr || srv->daemon != nullptr) return false;
  ox__errno_guard keep;
  unsigned int pool = conn_threads ? 0 : srv->thr_pool_size;
  MHD_OptionItem options[] = {
      {MHD_OPTION_CONNECTION_LIMIT, srv->con_limit, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, srv->con_timeout, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT,
       static_cast<intptr_t>(srv->con_mem_limit), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION,
       reinterpret_cast<intptr_t>(ox__httpreq_connection), srv},
      {MHD_OPTION_NOTIFY_COMPLETED,
       reinterpret_cast<intptr_t>(ox__httpreq_completed), srv},
      {pool > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END, pool, nullptr},
      {MHD_OPTION_END, 0, nullptr},
  };
  srv->conn_threads = conn_threads;
  srv->daemon = MHD_start_daemon(
      httpsrv_flags(conn_threads), port, nullptr, nullptr,
      ox__httpreq_access, srv,
      // The logger first, so that libmicrohttpd's option checks use it.
      MHD_OPTION_EXTERNAL_LOGGER, httpsrv_log, srv, MHD_OPTION_ARRAY, options,
      MHD_OPTION_END);
  if (srv->daemon == nullptr) {
    ox__httpsrv_error(srv, "ombrix: cannot listen on port %u\n",
                      static_cast<unsigned>(port));
    return false;
  }
  const MHD_DaemonInfo *info =
      MHD_get_daemon_info(srv->daemon, MHD_DAEMON_INFO_BIND_PORT);
  srv->port = info != nullptr ? info->port : port;
  return true;
}

uint16_t ox_httpsrv_port(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return ox__einval<uint16_t>(0);
  return srv->port;
}

const char *ox_httpsrv_upld_dir(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return ox__einval<const char *>(nullptr);
  return srv->upld_dir;
}

void ox_httpsrv_free(ox_httpsrv *srv) noexcept {
  if (srv == nullptr) return;
  if (srv->daemon != nullptr) {
    // Stop accepting, let isolated requests finish and resume their
    // connections (a suspended connection cannot be closed), then stop.
    MHD_socket listener = MHD_quiesce_daemon(srv->daemon);
    {
      std::unique_lock<std::mutex> lock(srv->isolated_mutex);
      srv->stopping = true;
      srv->isolated_cv.wait(lock, [srv] { return srv->isolated == 0; });
    }
    MHD_stop_daemon(srv->daemon);
    if (listener != MHD_INVALID_SOCKET) close(listener);
  }
  ox_free(srv->upld_dir);
  delete srv;
}
