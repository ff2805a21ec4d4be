// WebSocket connections: the upgrade of a routed request, the connection
// record shared by the event loop that reads it and the threads that send
// on it, and its close.
#ifndef OX_WS_H
#define OX_WS_H

#include <microhttpd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ombrix.h"
#include "ox_wsframe.h"

struct ox_httpconn;
struct ox__wsloop;

// A WebSocket route: what ox_httpsrv_add_ws_route() was given, copied.
struct ox__wsroute {
  ox__wsroute *next;    // the server's routes, for their release
  ox_httpsrv *srv;
  ox_wshandlers handlers;  // its lists point into |protocols|, |origins|
  char **protocols;        // NULL-terminated copies, or NULL
  char **origins;
  void *cls;
};

// Frame bytes on their way out, shared by every queue they wait on (a
// group's message is made once for all its members).
struct ox__wsbuf {
  std::atomic<uint32_t> refs;
  size_t size;
  uint8_t *bytes;  // |size| bytes: right after the record, or a block of
                   // ox_alloc() the record owns
};

// One buffer's place in a connection's queue.
struct ox__wsout {
  ox__wsout *next;
  ox__wsbuf *buf;
  size_t off;  // bytes of it already written
};

enum class ox__wsstate : uint8_t {
  opening,  // the 101 is on its way: sends are queued
  open,
  closing,  // our close frame is queued or sent: nothing more goes out
  closed,   // done with: the socket is libmicrohttpd's again
};

struct ox_ws {
  std::atomic<uint32_t> refs{1};  // the library's, until the close
  ox_httpsrv *srv = nullptr;
  const ox__wsroute *route = nullptr;
  ox_httpconn *conn = nullptr;
  ox__wsloop *loop = nullptr;
  MHD_UpgradeResponseHandle *urh = nullptr;
  int fd = -1;                   // the socket (or TLS pair) once upgraded
  std::atomic<void *> data{nullptr};  // the program's
  char *protocol = nullptr;      // the subprotocol chosen, or NULL
  char peer[48] = "";

  std::mutex mutex;  // guards what follows, up to the loop's own fields
  ox__wsstate state = ox__wsstate::opening;
  ox__wsout *head = nullptr;  // the send queue
  ox__wsout *tail = nullptr;
  size_t queued = 0;          // bytes in it
  bool shut = false;          // the socket was shut down: the loop closes
  bool close_after = false;   // closed once the queue is out
  bool upgraded = false;      // libmicrohttpd handed the socket over
  ox__wswriter writer;
  std::vector<ox_wsgroup *> groups;  // each holds a reference
  uint16_t told_code = 1006;  // what the close callback is told
  char told_reason[124] = "";

  // The loop's own.
  ox__wsreader reader;
  uint8_t *pending = nullptr;  // bytes read with the head, before the loop
  size_t pending_len = 0;
  int64_t heard_ms = 0;        // when the client last sent anything
  int64_t pinged_ms = 0;       // when our ping went out, 0: none waiting
  int64_t closing_ms = 0;      // when our close went out
  ox_ws *prev = nullptr;       // the loop's list
  ox_ws *next = nullptr;
  bool listed = false;
  bool again = false;          // has more to read than one turn took
  bool hangup = false;         // the client closed its side (or failed):
                               // read to the end, no new edge will come
};

// Frees the routes of ox_httpsrv_add_ws_route().
void ox__wsroutes_free(ox__wsroute *routes) noexcept;

// The request of a WebSocket route ended with its connection (or never
// became one): a connection made for it and never handed to a loop is
// closed, its close callback told 1006.  Drops the request's reference.
void ox__ws_abandon(ox_ws *ws) noexcept;

// The loop's side of a connection, on its thread.
void ox__ws_readable(ox_ws *ws, uint8_t *scratch, size_t room,
                     int64_t now_ms) noexcept;
void ox__ws_writable(ox_ws *ws) noexcept;
// Pings, the idle timeout and the close deadline; false once |ws| is
// closed and gone.
void ox__ws_tick(ox_ws *ws, int64_t now_ms) noexcept;
// Starts the close handshake with 1001 (a drain).
void ox__ws_drain(ox_ws *ws) noexcept;
// Closes |ws| now, telling the close callback what it was told (or 1006),
// and hands the socket back to libmicrohttpd.
void ox__ws_finish(ox_ws *ws) noexcept;
// The loop took |ws|: its first bytes are read and its queue written.
void ox__ws_started(ox_ws *ws, uint8_t *scratch, size_t room,
                    int64_t now_ms) noexcept;

// A new shared buffer holding |size| bytes copied from |head| (|head_len|
// bytes) then |data|; NULL when memory runs out.
ox__wsbuf *ox__wsbuf_new(const uint8_t *head, size_t head_len,
                         const void *data, size_t size) noexcept;
void ox__wsbuf_unref(ox__wsbuf *buf) noexcept;

// Queues or writes the shared frame |buf| on |ws| as a data message under
// its queue policy.  Returns as ox_ws_send() does.
int ox__ws_send_shared(ox_ws *ws, ox__wsbuf *buf) noexcept;

// Takes |group| off the list of |ws|, dropping its reference.
void ox__ws_forget_group(ox_ws *ws, ox_wsgroup *group) noexcept;

#endif  // OX_WS_H
