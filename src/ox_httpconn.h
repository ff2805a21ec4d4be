// Connections: a record for each connection libmicrohttpd accepts, kept on
// its server's list, and the watchdog that closes a connection whose
// request head or body arrives too slowly.  libmicrohttpd's own timeout
// counts idleness only, so a client sending a byte every few seconds would
// otherwise hold its connection for ever.
#ifndef OX_HTTPCONN_H
#define OX_HTTPCONN_H

#include <microhttpd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ombrix.h"
#include "ox_httpreq.h"
#include "ox_httpstats.h"
#include "ox_httptls.h"

// What the connection waits for, which decides its deadline.
enum class ox__connphase : uint8_t {
  head,     // the next request head (also while a kept-alive connection
            // idles)
  body,     // the body of the current request
  busy,     // the library or the program: the callbacks, a stream's
            // producer
  sending,  // the client: taking the reply, |send_bytes| of it
  upgraded, // a WebSocket: its loop keeps its own time
};

struct ox_httpconn {
  ox_httpsrv *srv = nullptr;    // the server the connection came to
  ox_httpconn *prev = nullptr;  // the server's list, under its mutex
  ox_httpconn *next = nullptr;
  MHD_socket fd = MHD_INVALID_SOCKET;  // open until the closed notice
  std::atomic<ox__connphase> phase{ox__connphase::head};
  std::atomic<int64_t> since{0};        // when the phase began (ms)
  std::atomic<uint64_t> body_bytes{0};  // body bytes of the current request
  std::atomic<uint64_t> send_bytes{0};  // reply bytes the client is given
                                        // time for
  std::atomic<int64_t> gone_at{0};      // when the client was seen gone (ms)
  std::atomic<int64_t> released_at{0};  // when its WebSocket was done (ms)
  std::atomic<bool> cut{false};  // shut down by the watchdog, a drain or
                                 // a push stream's queue policy
  std::atomic<ox__closecause> cause{ox__closecause::done};  // for metrics
  bool tls = false;          // over TLS; |tls_done| once its handshake is
  bool tls_done = false;     // (counted then, or as failed at the close)
  std::shared_ptr<const ox__tlscreds> tls_creds;  // what its handshakes
                                                  // choose from
  bool body_unread = false;  // a body is arriving that nothing may read
                             // whole: linger when the connection closes
  int file_fd = -1;          // a file going out by sendfile(), under the
  uint64_t file_end = 0;     // list lock: shorter than |file_end| bytes,
                             // sendfile() would stall, so it is cut
  char peer[48] = "";  // the client's address as text, made on first use
  int8_t client_cert = 0;  // TLS client certificate: 1 good, -1 not, 0 unseen
  bool target_nul = false;  // the current target decodes to a NUL byte
  char *target = nullptr;   // the current request target as the client
                            // sent it; reused by the next request
  const char *target_at = nullptr;  // where libmicrohttpd read it
  size_t target_room = 0;   // bytes |target| holds
  ox_httpreq req{};  // the record the connection's requests reuse

  ~ox_httpconn() { ox_free(target); }
};

// A socket closed with input the client is still sending: read and
// dropped for a while, so that the kernel does not answer that input with
// a reset, which would throw away the reply the client has yet to read.
struct ox__linger {
  ox__linger *next;
  int fd;            // a duplicate of the connection's socket, ours
  int64_t until_ms;  // when it is closed whatever comes
  uint64_t left;     // bytes still dropped before it is closed
};

// The server's connections and their watchdog.
struct ox__httpconns {
  std::mutex mutex;  // guards the lists and |stop|
  std::condition_variable wake;
  ox_httpconn *list = nullptr;
  ox__linger *lingering = nullptr;  // closed sockets still read
  unsigned int nlingering = 0;
  std::thread watchdog;
  bool stop = false;
};

// libmicrohttpd's connection notice: a record is made when a connection
// starts and released when it closes.
void ox__httpconn_notify(void *cls, MHD_Connection *con, void **socket_context,
                         MHD_ConnectionNotificationCode code) noexcept;

// The record of |con|, or NULL.
ox_httpconn *ox__httpconn_of(MHD_Connection *con) noexcept;

// The TLS handshake of |con| is done: noted once, and counted.
void ox__httpconn_tls_done(MHD_Connection *con) noexcept;

// libmicrohttpd's view of a request line, before it decodes anything:
// keeps the request target as the client sent it (for the access log,
// absolute-form targets, redirects that keep a query).
void *ox__httpconn_target(void *cls, const char *uri,
                          MHD_Connection *con) noexcept;

// libmicrohttpd's decoder of the path and the query arguments: %XX
// sequences, as libmicrohttpd decodes them, and a note on the connection
// when one decodes to a NUL byte, which would cut the text short.
size_t ox__httpconn_unescape(void *cls, MHD_Connection *con,
                             char *text) noexcept;

// Starts the phase |phase| now, and returns that moment on the monotonic
// clock in microseconds, so that callers who want a timestamp (the access
// log) need not read the clock again: on some virtual machines each read is
// a system call.
int64_t ox__httpconn_enter(ox_httpconn *conn, ox__connphase phase) noexcept;

// The reply is queued (or a stream hands out a piece): the client now has
// the send deadline to take |bytes| more.
void ox__httpconn_sending(ox_httpconn *conn, uint64_t bytes) noexcept;

// Cuts |conn| (past its deadline, or a client too slow for its push
// stream) for |cause|.  It closes with a reset rather than a FIN: a slow
// reader would otherwise keep being fed what the kernel holds of its reply
// (up to a whole send buffer, megabytes on a fast link) long after the
// server gave up on it.  The caller makes sure the socket is still the
// connection's: under the list lock, or while the connection holds the
// reply.
void ox__httpconn_abort(ox_httpconn *conn, ox__closecause cause) noexcept;

// Watches the file |fd| that goes out by sendfile() up to |end|: one that
// shrinks below it would leave sendfile() sending nothing until the idle
// timeout, so the watchdog cuts the connection and tells which file.
void ox__httpconn_watch_file(ox_httpsrv *srv, ox_httpconn *conn, int fd,
                             uint64_t end) noexcept;

// Ends the watch, before the file is closed.
void ox__httpconn_unwatch_file(ox_httpsrv *srv, ox_httpconn *conn) noexcept;

// The WebSocket on |conn| is done and its socket handed back to
// libmicrohttpd.  Over TLS libmicrohttpd may keep forwarding for a while
// without noticing the end (its edge-triggered polling can miss the end of
// the socket pair), so the watchdog cuts a connection still open a second
// later.
void ox__httpconn_released(ox_httpconn *conn) noexcept;

// Counts |size| more body bytes of the current request.
inline void ox__httpconn_received(ox_httpconn *conn, size_t size) noexcept {
  conn->body_bytes.fetch_add(size, std::memory_order_relaxed);
}

// Looks whether the client has closed its side with nothing left to read.
// libmicrohttpd's edge-triggered polling misses an end of stream that comes
// with the last data, and would wait for the idle timeout; the watchdog
// closes such a connection if its body is still incomplete a second later
// (libmicrohttpd may hold the rest of the body, read but not yet handed on).
void ox__httpconn_check_peer(ox_httpconn *conn) noexcept;

// The client address of |conn| (the connection |con|) as text: "::1",
// "127.0.0.1" (an IPv4 client of a dual-stack socket shown as IPv4), or ""
// when unknown.
const char *ox__httpconn_peer(ox_httpconn *conn, MHD_Connection *con) noexcept;

// The client address and port of |con| for an error line, into |out|
// (|size| bytes): "127.0.0.1:53412", "[::1]:53412", or "" when unknown.
void ox__httpconn_endpoint(MHD_Connection *con, char *out,
                           size_t size) noexcept;

// For a drain: shuts down the connections that wait for a request (idle,
// or a head still arriving), and returns how many have one in flight.
unsigned int ox__httpconns_close_idle(ox_httpsrv *srv) noexcept;

// For a drain past its deadline: shuts down every connection left, and
// returns how many of them had a request in flight.
unsigned int ox__httpconns_cut(ox_httpsrv *srv) noexcept;

// Starts the watchdog of |srv|; false when no thread could be started.
bool ox__httpconns_start(ox_httpsrv *srv) noexcept;

// Stops the watchdog and waits for it.
void ox__httpconns_stop(ox_httpsrv *srv) noexcept;

#endif  // OX_HTTPCONN_H
