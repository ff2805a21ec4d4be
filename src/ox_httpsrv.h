// The server record and what the request code needs of it.
#ifndef OX_HTTPSRV_H
#define OX_HTTPSRV_H

#include <microhttpd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ombrix.h"

struct ox_httpsrv {
  MHD_Daemon *daemon = nullptr;      // NULL until listening
  ox_httpauth_cb auth_cb = nullptr;  // runs before req_cb; may be NULL
  ox_httpreq_cb req_cb = nullptr;    // answers every request
  ox_err_cb err_cb = nullptr;        // receives serving errors
  void *cls = nullptr;               // handed to every callback
  unsigned int thr_pool_size = 0;    // serving threads; 0 or 1: one poller
  unsigned int con_limit = 1000;     // connections at once
  unsigned int con_timeout = 60;     // seconds a connection may idle
  size_t con_mem_limit = 16 * 1024;  // per-connection memory for the head
  size_t payld_limit = 8 * 1024 * 1024;      // body held for the payload
  uint64_t uplds_limit = 1024ull << 20;      // uploaded file bytes
  char *upld_dir = nullptr;          // where uploads go; our copy
  uint16_t port = 0;                 // the bound port
  bool conn_threads = false;         // a thread per connection

  // Isolated requests in flight, which ox_httpsrv_free() waits for.
  std::mutex isolated_mutex;
  std::condition_variable isolated_cv;
  unsigned int isolated = 0;
  bool stopping = false;  // no new isolation thread once set
};

// Formats a message and hands it to the server's error callback.
void ox__httpsrv_error(ox_httpsrv *srv, const char *fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// Counts an isolated request in; false once the server is stopping.
bool ox__httpsrv_isolate_begin(ox_httpsrv *srv) noexcept;

// Counts an isolated request out.
void ox__httpsrv_isolate_end(ox_httpsrv *srv) noexcept;

#endif  // OX_HTTPSRV_H
