// The server record and what the request code needs of it.
#ifndef OX_HTTPSRV_H
#define OX_HTTPSRV_H

#include <microhttpd.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ombrix.h"
#include "ox_httpconn.h"
#include "ox_httpcors.h"
#include "ox_httpfcache.h"
#include "ox_httplisten.h"
#include "ox_httppool.h"
#include "ox_httppush.h"
#include "ox_httpstats.h"
#include "ox_httproute.h"
#include "ox_httptls.h"
#include "ox_ws.h"
#include "ox_wsloop.h"

// A page the program chose for the library's replies of one status.
struct ox__statuspage {
  ox__statuspage *next;
  unsigned int status;
  char *body;  // NUL-terminated; |length| bytes
  size_t length;
  char *type;  // Content-Type, or NULL
};

// The program's page for the library's replies of |status|, or NULL.
const ox__statuspage *ox__httpsrv_page(const ox_httpsrv *srv,
                                       unsigned int status) noexcept;

// The error callback's gate: a burst of lines passes in each window, the
// rest of a flood (a client leaving mid-request makes a line each) is
// counted and told as one line, so an attack cannot fill a disk through
// the log.
struct ox__errgate {
  std::mutex mutex;
  int64_t window = INT64_MIN / 2;  // when the current window began (s):
                                   // long ago, and safe to subtract
  unsigned int passed = 0;     // lines passed in it
  uint64_t held = 0;           // lines held back since the last count told
};

// Why the last call on the server that failed did, for
// ox_httpsrv_last_error().  A pair may be set (and fail) while serving,
// and any thread may ask, hence the lock.
struct ox__lasterr {
  std::mutex mutex;
  int code = 0;         // what the call returned; 0: none failed
  char text[512] = "";  // the reason, NUL-terminated
};

// What WebSocket connections and push streams may hold, and how often
// they are checked on.
struct ox__wssettings {
  size_t message_max = 1 << 20;  // bytes of a message received, inflated
  size_t queue_max = 1 << 20;    // bytes queued for a slow client
  ox_wsfull when_full = OX_WSFULL_REFUSE;  // ...and what then
  unsigned int ping = 30;        // seconds of silence before a ping
  unsigned int idle = 75;        // seconds of silence before the close
  bool deflate = false;          // permessage-deflate accepted
};

struct ox_httpsrv {
  MHD_Daemon *daemon = nullptr;      // NULL until listening
  ox_httpauth_cb auth_cb = nullptr;  // runs before req_cb; may be NULL
  ox_httpreq_cb req_cb = nullptr;    // answers what no route takes; may be NULL
  ox_err_cb err_cb = nullptr;        // receives serving errors
  void *cls = nullptr;               // handed to every callback
  unsigned int thr_pool_size = 0;    // serving threads; 0 or 1: one poller
  unsigned int con_limit = 1000;     // connections at once
  unsigned int con_per_ip = 0;       // connections per client address; 0: any
  unsigned int con_timeout = 60;     // seconds a connection may idle
  unsigned int head_timeout = 10;    // seconds for a request head
  unsigned int body_timeout = 10;    // seconds for a body, before...
  unsigned int body_min_rate = 1024; // ...one more per this many bytes
  unsigned int send_timeout = 10;    // seconds for a reply to be taken,
  unsigned int send_min_rate = 4096; // ...one more per this many bytes
  size_t con_mem_limit = 40 * 1024;  // per-connection memory for the head
  size_t payld_limit = 8 * 1024 * 1024;      // body held for the payload
  uint64_t uplds_limit = 1024ull << 20;      // uploaded file bytes
  unsigned int fields_max = 1000;    // form fields per request
  unsigned int files_max = 100;      // uploaded files per request
  uint32_t match_limit = ox__httproute_match_limit;  // steps a route pattern
                                     // may take on one path
  char *upld_dir = nullptr;          // where uploads go; our copy
  mode_t file_mode = 0644;           // what saved uploads get: 0666 less
                                     // the umask, read as listening starts
  ox_strmap *mimes = nullptr;        // content types by lower-case
                                     // extension, over the built-in ones
  int gzip_level = 0;                // 1..9: replies are gzipped when the
                                     // client accepts it; 0: never
  uint16_t port = 0;                 // the bound port
  bool conn_threads = false;         // a thread per connection
  bool reuse_port = false;           // SO_REUSEPORT: processes share a port
  bool stopped = false;              // drained: serves no more
  sockaddr_storage bind_addrs[ox__httplistener_max]{};  // where to listen,
  unsigned int bind_count = 0;       // ...so many of them; 0: everywhere
  ox__httptls tls{};                 // certificate and key; none: plain HTTP
  ox_httplog_cb log_cb = nullptr;    // the access log; NULL: none
  void *log_cls = nullptr;
  ox_httpbefore_cb before_cb = nullptr;  // on each routed head; may be NULL
  void *before_cls = nullptr;
  ox_httpafter_cb after_cb = nullptr;    // on every reply; may be NULL
  void *after_cls = nullptr;
  ox__cors *cors = nullptr;          // cross-origin access; NULL: none
  ox__statuspage *pages = nullptr;   // the program's pages for the
                                     // library's replies, by status
  std::atomic<bool> draining{false}; // replies close their connections
  std::atomic<bool> ready{true};     // what the ready route answers
  std::atomic<unsigned int> producing{0};  // serving threads inside a
                                     // program's stream callback, which
                                     // may block past a drain's deadline

  ox__httproutes routes{};  // read-only once listening
  ox__httplistener listener;  // the socket and the thread accepting on it
  ox__httpconns conns;   // open connections and their watchdog
  ox__httppool pool;     // isolated requests, and its limits
  ox__errgate errors;    // lines on their way to |err_cb|
  ox__lasterr failure;   // the last failed call's reason
  ox__httpstats stats;   // metrics, when asked for
  ox__httpfcache files;  // the files sent lately, kept open
  ox__wssettings ws;     // WebSockets and push streams
  ox__wsroute *wsroutes = nullptr;  // WebSocket routes, for their release
  ox__wsloops wsloops;   // the loops of upgraded connections
  ox__httppushes pushes; // the push streams of the connections
  unsigned int cached_max = 1024;  // what the program asked the file
                                   // cache to hold; limited on listening
};

// Formats a message and hands it to the server's error callback as
// "ombrix: <message>", unless a flood of them is being held back.  The
// message has no prefix and no newline of its own.  Text a client chose
// goes through ox__escape() first.
void ox__httpsrv_error(ox_httpsrv *srv, const char *fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// Call before returning MHD_NO for a request answered already: the line
// libmicrohttpd then logs about it is dropped.
void ox__httpsrv_closing_on_purpose() noexcept;

// As ox__httpsrv_error(), for a message about the client of |con|:
// "ombrix: 127.0.0.1:53412: <message>".
void ox__httpsrv_peer_error(ox_httpsrv *srv, MHD_Connection *con,
                            const char *fmt, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// Records |rc| and the reason made from |fmt| (plain words, no prefix, no
// newline) as the server's last error, and returns |rc|: the one way a
// public call on a server fails.
int ox__httpsrv_fail(ox_httpsrv *srv, int rc, const char *fmt, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// Tells the error callback how many lines were held back, once their
// window is over (the watchdog asks every second).
void ox__httpsrv_flush_errors(ox_httpsrv *srv) noexcept;

#endif  // OX_HTTPSRV_H
