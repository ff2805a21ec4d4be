// WebSocket connections: the handshake on a routed request, the send
// queue any thread writes to, the loop's reading, and the close.
#include "ox_ws.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_httpconn.h"
#include "ox_httpreq.h"
#include "ox_httpres.h"
#include "ox_httpsrv.h"
#include "ox_wsgroup.h"
#include "ox_wsloop.h"

namespace {

// A close the client leaves unanswered is cut after this long.
constexpr int64_t ws_close_wait_ms = 5000;

// ------------------------------------------------------------- routes

void strv_free(char **v) noexcept {
  if (v == nullptr) return;
  for (char **p = v; *p != nullptr; p++) ox_free(*p);
  ox_free(v);
}

// Copies a NULL-terminated list of texts; false when memory runs out or a
// text is empty or has a control byte.
bool strv_copy(const char *const *v, char ***out, bool *bad) noexcept {
  *out = nullptr;
  if (v == nullptr) return true;
  size_t n = 0;
  while (v[n] != nullptr) n++;
  auto **copy = static_cast<char **>(ox_alloc((n + 1) * sizeof(char *)));
  if (copy == nullptr) return false;
  memset(copy, 0, (n + 1) * sizeof(char *));
  for (size_t i = 0; i < n; i++) {
    if (*v[i] == '\0' || !ox__header_safe(v[i])) *bad = true;
    copy[i] = ox__strdup(v[i]);
    if (copy[i] == nullptr || *bad) {
      strv_free(copy);
      return false;
    }
  }
  *out = copy;
  return true;
}

// ----------------------------------------------------------- handshake

// Every line of the request's |name| fields joined with ", " into |out|
// (|size| bytes); false when they do not fit.
bool header_joined(MHD_Connection *con, const char *name, char *out,
                   size_t size) noexcept {
  struct walk {
    const char *name;
    char *out;
    size_t size, len;
    bool fits;
  } joined{name, out, size, 0, true};
  out[0] = '\0';
  MHD_get_connection_values(
      con, MHD_HEADER_KIND,
      [](void *cls, MHD_ValueKind, const char *key,
         const char *value) -> MHD_Result {
        auto *w = static_cast<walk *>(cls);
        if (strcasecmp(key, w->name) != 0 || value == nullptr) return MHD_YES;
        size_t n = strlen(value);
        size_t sep = w->len != 0 ? 2 : 0;
        if (w->len + sep + n + 1 > w->size) {
          w->fits = false;
          return MHD_NO;
        }
        if (sep != 0) memcpy(w->out + w->len, ", ", 2);
        memcpy(w->out + w->len + sep, value, n + 1);
        w->len += sep + n;
        return MHD_YES;
      },
      &joined);
  return joined.fits;
}

// True when one of the comma-separated elements of the request's |name|
// fields (every line of it) is |token|, compared without case.
bool header_has_token(MHD_Connection *con, const char *name,
                      const char *token) noexcept {
  char value[2048];
  if (!header_joined(con, name, value, sizeof value)) return false;
  size_t len = strlen(token);
  const char *p = value;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    const char *start = p;
    while (*p != '\0' && *p != ',') p++;
    const char *end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
    if (static_cast<size_t>(end - start) == len &&
        strncasecmp(start, token, len) == 0) {
      return true;
    }
  }
  return false;
}

// The first of the route's subprotocols the client offers, or NULL.
const char *choose_protocol(MHD_Connection *con,
                            const ox__wsroute *route) noexcept {
  if (route->protocols == nullptr) return nullptr;
  for (char **p = route->protocols; *p != nullptr; p++) {
    if (header_has_token(con, "Sec-WebSocket-Protocol", *p)) return *p;
  }
  return nullptr;
}

bool origin_allowed(const ox__wsroute *route, const char *origin) noexcept {
  if (route->origins == nullptr || origin == nullptr) return true;
  for (char **p = route->origins; *p != nullptr; p++) {
    if (strcasecmp(*p, origin) == 0) return true;
  }
  return false;
}

// Describes the library's refusal of a handshake: |status| with one more
// header.
void refuse(ox_httpres *res, unsigned int status, const char *field,
            const char *value) noexcept {
  ox__httpres_describe_status(res, status, field,
                              value != nullptr ? ox__strdup(value) : nullptr);
}

ox_ws *ws_new(ox_httpreq *req, const ox__wsroute *route) noexcept {
  auto *ws = new (std::nothrow) ox_ws;
  if (ws == nullptr) return nullptr;
  ws->srv = req->srv;
  ws->route = route;
  ws->conn = req->conn;
  ws->reader.message_max = req->srv->ws.message_max;
  const char *peer = ox_httpreq_peer(req);
  if (peer != nullptr) snprintf(ws->peer, sizeof ws->peer, "%s", peer);
  return ws;
}

void ws_upgraded(void *cls, MHD_Connection *con, void *req_cls,
                 const char *extra_in, size_t extra_in_size, MHD_socket sock,
                 MHD_UpgradeResponseHandle *urh) noexcept;

// The route callback of every WebSocket route: checks the handshake,
// opens the connection and describes the 101.
void ws_route_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  auto *route = static_cast<const ox__wsroute *>(cls);
  ox_httpsrv *srv = req->srv;
  MHD_Connection *con = res->con;
  if (!header_has_token(con, "Upgrade", "websocket")) {
    refuse(res, 426, "Upgrade", "websocket");
    return;
  }
  const char *version =
      MHD_lookup_connection_value(con, MHD_HEADER_KIND, "Sec-WebSocket-Version");
  if (version == nullptr || strcmp(version, "13") != 0) {
    refuse(res, 426, "Sec-WebSocket-Version", "13");
    return;
  }
  char accept[29];
  const char *key =
      MHD_lookup_connection_value(con, MHD_HEADER_KIND, "Sec-WebSocket-Key");
  if (strcmp(req->method, "GET") != 0 || strcmp(req->version, "HTTP/1.1") != 0 ||
      !header_has_token(con, "Connection", "upgrade") || key == nullptr ||
      !ox__ws_accept_key(key, accept)) {
    refuse(res, 400, nullptr, nullptr);
    return;
  }
  if (!origin_allowed(route, MHD_lookup_connection_value(con, MHD_HEADER_KIND,
                                                         "Origin"))) {
    refuse(res, 403, nullptr, nullptr);
    return;
  }
  if (srv->draining.load(std::memory_order_relaxed)) {
    refuse(res, 503, nullptr, nullptr);
    return;
  }
  ox_ws *ws = ws_new(req, route);
  if (ws == nullptr) {
    refuse(res, 500, nullptr, nullptr);
    return;
  }
  char extensions[512] = "";
  if (srv->ws.deflate) {
    char offers[2048];
    if (header_joined(con, "Sec-WebSocket-Extensions", offers, sizeof offers) &&
        offers[0] != '\0' &&
        ox__wsdeflate_negotiate(offers, &ws->reader.deflate, extensions,
                                sizeof extensions)) {
      ws->writer.deflate = ws->reader.deflate;
    } else {
      extensions[0] = '\0';
      ws->reader.deflate = ox__wsdeflate{};
    }
  }
  const char *protocol = choose_protocol(con, route);
  if (protocol != nullptr) ws->protocol = ox__strdup(protocol);
  ox_strmap **headers = ox_httpres_headers(res);
  bool ok = ox_strmap_add(headers, "Upgrade", "websocket") == 0 &&
            ox_strmap_add(headers, "Connection", "Upgrade") == 0 &&
            ox_strmap_add(headers, "Sec-WebSocket-Accept", accept) == 0 &&
            (protocol == nullptr || ws->protocol != nullptr) &&
            (protocol == nullptr ||
             ox_strmap_add(headers, "Sec-WebSocket-Protocol", protocol) ==
                 0) &&
            (extensions[0] == '\0' ||
             ox_strmap_add(headers, "Sec-WebSocket-Extensions", extensions) ==
                 0) &&
            ox__httpres_describe_upgrade(res, ws_upgraded, ws) == 0;
  if (!ok) {
    ox_ws_unref(ws);
    refuse(res, 500, nullptr, nullptr);
    return;
  }
  // A reference of the request's own: libmicrohttpd ends the request only
  // after the upgraded connection closed, by when the loop may have
  // released its reference.
  req->ws = ox_ws_ref(ws);
  if (route->handlers.open != nullptr) route->handlers.open(route->cls, ws, req);
}

// --------------------------------------------------------------- sending

void out_free(ox__wsout *out) noexcept {
  ox__wsbuf_unref(out->buf);
  ox_free(out);
}

// Drops the queue (under the lock).
void queue_drop(ox_ws *ws) noexcept {
  while (ox__wsout *out = ws->head) {
    ws->head = out->next;
    out_free(out);
  }
  ws->tail = nullptr;
  ws->queued = 0;
}

bool queue_push(ox_ws *ws, ox__wsbuf *buf, size_t off) noexcept {
  auto *out = static_cast<ox__wsout *>(ox_alloc(sizeof(ox__wsout)));
  if (out == nullptr) return false;
  buf->refs.fetch_add(1, std::memory_order_relaxed);
  out->next = nullptr;
  out->buf = buf;
  out->off = off;
  if (ws->tail != nullptr) {
    ws->tail->next = out;
  } else {
    ws->head = out;
  }
  ws->tail = out;
  ws->queued += buf->size - off;
  return true;
}

// The socket failed or the connection must end now: shut down, so that
// the loop sees it and closes (under the lock).
void ws_shut(ox_ws *ws, uint16_t code) noexcept {
  if (ws->shut) return;
  ws->shut = true;
  if (ws->told_code == 1006 && code != 0) ws->told_code = code;
  queue_drop(ws);
  if (ws->fd >= 0) shutdown(ws->fd, SHUT_RDWR);
}

// Writes what it can of |iov| (|n| entries, |total| bytes) now; returns
// the bytes written, or -1 when the socket failed.
ssize_t write_now(int fd, const iovec *iov, int n) noexcept {
  msghdr msg{};
  msg.msg_iov = const_cast<iovec *>(iov);
  msg.msg_iovlen = static_cast<size_t>(n);
  for (;;) {
    ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) return w;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

// Writes the queue while the socket takes it (under the lock).
void queue_flush(ox_ws *ws) noexcept {
  while (ws->head != nullptr && !ws->shut) {
    iovec iov[16];
    int n = 0;
    for (ox__wsout *o = ws->head; o != nullptr && n < 16; o = o->next) {
      iov[n].iov_base = o->buf->bytes + o->off;
      iov[n].iov_len = o->buf->size - o->off;
      n++;
    }
    ssize_t w = write_now(ws->fd, iov, n);
    if (w < 0) {
      ws_shut(ws, 0);
      return;
    }
    if (w == 0) return;
    auto left = static_cast<size_t>(w);
    ws->queued -= left;
    while (left > 0) {
      ox__wsout *o = ws->head;
      size_t rest = o->buf->size - o->off;
      if (left < rest) {
        o->off += left;
        break;
      }
      left -= rest;
      ws->head = o->next;
      if (ws->head == nullptr) ws->tail = nullptr;
      out_free(o);
    }
  }
}

// Sends the frame made of |head| (|head_len| bytes) and |data| (|size|
// bytes), or of |shared| when it is not NULL, under the lock: at once when
// nothing waits before it, the rest queued.  Returns 0, EPIPE or ENOMEM.
int frame_out(ox_ws *ws, const uint8_t *head, size_t head_len,
              const void *data, size_t size, ox__wsbuf *shared) noexcept {
  size_t total = shared != nullptr ? shared->size : head_len + size;
  size_t written = 0;
  if (ws->head == nullptr && ws->state != ox__wsstate::opening) {
    iovec iov[2];
    int n = 0;
    if (shared != nullptr) {
      iov[n++] = {shared->bytes, shared->size};
    } else {
      iov[n++] = {const_cast<uint8_t *>(head), head_len};
      if (size != 0) iov[n++] = {const_cast<void *>(data), size};
    }
    ssize_t w = write_now(ws->fd, iov, n);
    if (w < 0) {
      ws_shut(ws, 0);
      return EPIPE;
    }
    written = static_cast<size_t>(w);
    if (written == total) return 0;
  }
  if (shared != nullptr) return queue_push(ws, shared, written) ? 0 : ENOMEM;
  // The rest of a frame of the caller's goes into a buffer of its own.
  ox__wsbuf *buf;
  if (written < head_len) {
    buf = ox__wsbuf_new(head + written, head_len - written, data, size);
  } else {
    buf = ox__wsbuf_new(nullptr, 0,
                        static_cast<const uint8_t *>(data) +
                            (written - head_len),
                        size - (written - head_len));
  }
  if (buf == nullptr) {
    // Part of the frame is out: the stream cannot go on.
    if (written != 0) ws_shut(ws, ox__ws_internal);
    return ENOMEM;
  }
  bool queued = queue_push(ws, buf, 0);
  ox__wsbuf_unref(buf);
  if (!queued && written != 0) ws_shut(ws, ox__ws_internal);
  return queued ? 0 : ENOMEM;
}

// A control frame (ping, pong, close): past the queue limit, as it is
// small and the protocol needs it (under the lock).
int control_out(ox_ws *ws, ox__wsop op, const void *data,
                size_t size) noexcept {
  uint8_t head[ox__wsframe_head_max];
  size_t head_len = ox__wsframe_head(head, op, false, size);
  return frame_out(ws, head, head_len, data, size, nullptr);
}

// Applies the queue policy to a data frame of |size| bytes (under the
// lock): 0 when it may go, else what the send returns.
int queue_admit(ox_ws *ws, size_t size) noexcept {
  const ox__wssettings &s = ws->srv->ws;
  if (ws->queued == 0 || ws->queued + size <= s.queue_max) return 0;
  if (s.when_full == OX_WSFULL_REFUSE) return ENOBUFS;
  ws_shut(ws, s.when_full == OX_WSFULL_CLOSE ? ox__ws_policy
                                             : ox__ws_try_later);
  return EPIPE;
}

bool sendable(const ox_ws *ws) noexcept {
  return !ws->shut && (ws->state == ox__wsstate::opening ||
                       ws->state == ox__wsstate::open);
}

// Queues our close frame with |code| and |reason| (|len| bytes); nothing
// is sent after it (under the lock).
void close_out(ox_ws *ws, uint16_t code, const char *reason,
               size_t len) noexcept {
  uint8_t payload[125];
  size_t n = 0;
  if (code != 1005) {
    payload[0] = static_cast<uint8_t>(code >> 8);
    payload[1] = static_cast<uint8_t>(code & 0xff);
    n = 2;
    if (len > sizeof payload - 2) len = sizeof payload - 2;
    if (len != 0) memcpy(payload + 2, reason, len);
    n += len;
  }
  control_out(ws, ox__wsop::close, payload, n);
  ws->state = ox__wsstate::closing;
  ws->closing_ms = ox__ws_now_ms();
}

void tell(ox_ws *ws, uint16_t code, const void *reason, size_t len) noexcept {
  ws->told_code = code;
  if (len > sizeof ws->told_reason - 1) len = sizeof ws->told_reason - 1;
  if (len != 0) memcpy(ws->told_reason, reason, len);
  ws->told_reason[len] = '\0';
}

// ----------------------------------------------------------- the upgrade

void ws_upgraded(void *cls, MHD_Connection *con, void *req_cls,
                 const char *extra_in, size_t extra_in_size, MHD_socket sock,
                 MHD_UpgradeResponseHandle *urh) noexcept {
  (void)con;
  (void)req_cls;
  auto *ws = static_cast<ox_ws *>(cls);
  ws->urh = urh;
  if (ws->conn != nullptr) ox__httpconn_enter(ws->conn, ox__connphase::upgraded);
  int flags = fcntl(sock, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  }
  if (!ws->srv->tls.on) {
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  if (extra_in_size != 0) {
    ws->pending = static_cast<uint8_t *>(ox_alloc(extra_in_size));
    if (ws->pending != nullptr) {
      memcpy(ws->pending, extra_in, extra_in_size);
      ws->pending_len = extra_in_size;
    }
  }
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    ws->fd = sock;
    ws->upgraded = true;
    if (ws->state == ox__wsstate::opening) ws->state = ox__wsstate::open;
    if (extra_in_size != 0 && ws->pending == nullptr) {
      ws_shut(ws, ox__ws_internal);
    }
  }
  if (!ox__wsloops_add(ws->srv, ws)) ox__ws_finish(ws);
}

}  // namespace

// ------------------------------------------------------------ internals

ox__wsbuf *ox__wsbuf_new(const uint8_t *head, size_t head_len,
                         const void *data, size_t size) noexcept {
  auto *buf = static_cast<ox__wsbuf *>(
      ox_alloc(sizeof(ox__wsbuf) + head_len + size));
  if (buf == nullptr) return nullptr;
  new (&buf->refs) std::atomic<uint32_t>(1);
  buf->size = head_len + size;
  buf->bytes = reinterpret_cast<uint8_t *>(buf + 1);
  if (head_len != 0) memcpy(buf->bytes, head, head_len);
  if (size != 0) memcpy(buf->bytes + head_len, data, size);
  return buf;
}

void ox__wsbuf_unref(ox__wsbuf *buf) noexcept {
  if (buf == nullptr) return;
  if (buf->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (buf->bytes != reinterpret_cast<uint8_t *>(buf + 1)) ox_free(buf->bytes);
  ox_free(buf);
}

int ox__ws_send_shared(ox_ws *ws, ox__wsbuf *buf) noexcept {
  std::lock_guard<std::mutex> lock(ws->mutex);
  if (!sendable(ws)) return EPIPE;
  if (int rc = queue_admit(ws, buf->size); rc != 0) return rc;
  return frame_out(ws, nullptr, 0, nullptr, 0, buf);
}

void ox__ws_started(ox_ws *ws, uint8_t *scratch, size_t room,
                    int64_t now_ms) noexcept {
  ws->heard_ms = now_ms;
  if (ws->srv->draining.load(std::memory_order_relaxed)) {
    ox__ws_drain(ws);
  }
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    queue_flush(ws);
  }
  ox__ws_readable(ws, scratch, room, now_ms);
}

namespace {

// Handles one thing the reader found; false once the connection is done
// with.
bool ws_event(ox_ws *ws, const ox__wsresult &r) noexcept {
  const ox_wshandlers &h = ws->route->handlers;
  switch (r.event) {
    case ox__wsevent::more:
      return true;
    case ox__wsevent::message: {
      bool open;
      {
        std::lock_guard<std::mutex> lock(ws->mutex);
        open = ws->state == ox__wsstate::open && !ws->shut;
      }
      if (open) {
        h.message(ws->route->cls, ws, r.data, r.size,
                  r.op == ox__wsop::text ? OX_WS_TEXT : OX_WS_BINARY);
      }
      return true;
    }
    case ox__wsevent::ping: {
      std::lock_guard<std::mutex> lock(ws->mutex);
      if (ws->state == ox__wsstate::open && !ws->shut) {
        control_out(ws, ox__wsop::pong, r.data, r.size);
      }
      return true;
    }
    case ox__wsevent::pong:
      ws->pinged_ms = 0;
      return true;
    case ox__wsevent::close: {
      std::lock_guard<std::mutex> lock(ws->mutex);
      if (ws->state == ox__wsstate::closing) return false;  // the answer
      tell(ws, r.code, r.data, r.size);
      close_out(ws, r.code, reinterpret_cast<const char *>(r.data), r.size);
      ws->close_after = true;
      return ws->head != nullptr && !ws->shut;
    }
    case ox__wsevent::fail: {
      std::lock_guard<std::mutex> lock(ws->mutex);
      if (ws->state != ox__wsstate::closing) {
        tell(ws, r.code, r.why, r.why != nullptr ? strlen(r.why) : 0);
        close_out(ws, r.code, nullptr, 0);
      }
      ws->close_after = true;
      return ws->head != nullptr && !ws->shut;
    }
  }
  return true;
}

// Feeds the reader |len| bytes at |data|; false once done with.
bool ws_feed(ox_ws *ws, uint8_t *data, size_t len) noexcept {
  for (;;) {
    ox__wsresult r{};
    ox__wsreader_next(&ws->reader, &data, &len, &r);
    if (r.event == ox__wsevent::more) return true;
    if (!ws_event(ws, r)) return false;
    // After a close or a failure nothing more is read: our close goes
    // out, then the socket is closed.
    if (r.event == ox__wsevent::close || r.event == ox__wsevent::fail) {
      return true;
    }
  }
}

}  // namespace

void ox__ws_readable(ox_ws *ws, uint8_t *scratch, size_t room,
                     int64_t now_ms) noexcept {
  if (ws->pending != nullptr) {
    uint8_t *pending = ws->pending;
    size_t len = ws->pending_len;
    ws->pending = nullptr;
    ws->pending_len = 0;
    bool alive = ws_feed(ws, pending, len);
    ox_free(pending);
    ws->heard_ms = now_ms;
    if (!alive) {
      ox__ws_finish(ws);
      return;
    }
  }
  // A turn reads so much at most, so that one client sending without end
  // cannot keep the loop from the others.
  for (int turn = 0; turn < 16; turn++) {
    {
      std::lock_guard<std::mutex> lock(ws->mutex);
      if (ws->shut) break;
    }
    if (ws->reader.failed != 0 || ws->close_after) {
      // Read and dropped until our close has gone out.
      char sink[4096];
      ssize_t n = recv(ws->fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    ssize_t n = recv(ws->fd, scratch, room, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      break;
    }
    if (n == 0) break;
    ws->heard_ms = now_ms;
    if (!ws_feed(ws, scratch, static_cast<size_t>(n))) break;
    // A short read took all there was: more will come with a new edge, so
    // the read that would only say EAGAIN is saved, unless the client
    // closed its side, which raises no further edge.
    if (static_cast<size_t>(n) < room && !ws->hangup) return;
    if (turn == 15) {
      ws->again = true;
      return;
    }
  }
  ox__ws_finish(ws);
}

void ox__ws_writable(ox_ws *ws) noexcept {
  bool done;
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    queue_flush(ws);
    done = ws->close_after && ws->head == nullptr;
  }
  if (done) ox__ws_finish(ws);
}

void ox__ws_tick(ox_ws *ws, int64_t now_ms) noexcept {
  const ox__wssettings &s = ws->srv->ws;
  bool finish = false;
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    if (ws->shut) {
      finish = true;
    } else if (ws->state == ox__wsstate::closing) {
      finish = now_ms - ws->closing_ms >= ws_close_wait_ms;
    } else if (ws->pinged_ms != 0 &&
               now_ms - ws->heard_ms >= static_cast<int64_t>(s.idle) * 1000) {
      // Only after a ping it left unanswered: with a tick a second, a short
      // idle timeout could otherwise come before the first ping.
      finish = true;
    } else if (ws->pinged_ms == 0 &&
               now_ms - ws->heard_ms >= static_cast<int64_t>(s.ping) * 1000) {
      ws->pinged_ms = now_ms;
      control_out(ws, ox__wsop::ping, nullptr, 0);
    }
  }
  if (finish) ox__ws_finish(ws);
}

void ox__ws_drain(ox_ws *ws) noexcept {
  std::lock_guard<std::mutex> lock(ws->mutex);
  if (ws->state != ox__wsstate::open || ws->shut) return;
  static const char reason[] = "the server is shutting down";
  tell(ws, ox__ws_going_away, reason, sizeof reason - 1);
  close_out(ws, ox__ws_going_away, reason, sizeof reason - 1);
}

void ox__ws_finish(ox_ws *ws) noexcept {
  std::vector<ox_wsgroup *> groups;
  bool framed;  // our close frame went out: the client is told
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    if (ws->state == ox__wsstate::closed) return;
    framed = ws->state == ox__wsstate::closing && !ws->shut;
    ws->state = ox__wsstate::closed;
    queue_drop(ws);
    groups.swap(ws->groups);
  }
  for (ox_wsgroup *group : groups) ox__wsgroup_drop(group, ws);
  ox__wsloop *loop = ws->loop;
  bool listed = ws->listed;
  if (listed) ox__wsloop_unlink(loop, ws);
  ox__wsreader_reset(&ws->reader);
  ox_free(ws->pending);
  ws->pending = nullptr;
  const ox_wshandlers &h = ws->route->handlers;
  if (h.close != nullptr) {
    h.close(ws->route->cls, ws, ws->told_code, ws->told_reason);
  }
  if (ws->urh != nullptr) {
    // Over TLS libmicrohttpd forwards between the socket pair and the
    // client, and may wait for the client before it lets go of a
    // connection that ends without our close frame (an idle client, a
    // cut): the client's socket is shut down here so that it learns at
    // once.  A close frame is left to go out first.
    if (ws->srv->tls.on && ws->conn != nullptr) {
      if (!framed) shutdown(ws->conn->fd, SHUT_RDWR);
      ox__httpconn_released(ws->conn);
    }
    MHD_upgrade_action(ws->urh, MHD_UPGRADE_ACTION_CLOSE);
    ws->urh = nullptr;
  }
  if (listed) {
    try {
      loop->dead.push_back(ws);
      return;
    } catch (...) {
      return;  // kept: an event of this turn may still name it
    }
  }
  ox_ws_unref(ws);
}

void ox__ws_abandon(ox_ws *ws) noexcept {
  bool upgraded;
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    upgraded = ws->upgraded;
  }
  if (!upgraded) ox__ws_finish(ws);
  ox_ws_unref(ws);
}

void ox__wsroutes_free(ox__wsroute *routes) noexcept {
  while (ox__wsroute *route = routes) {
    routes = route->next;
    strv_free(route->protocols);
    strv_free(route->origins);
    ox_free(route);
  }
}

void ox__ws_forget_group(ox_ws *ws, ox_wsgroup *group) noexcept {
  std::lock_guard<std::mutex> lock(ws->mutex);
  for (size_t i = 0; i < ws->groups.size(); i++) {
    if (ws->groups[i] == group) {
      ws->groups.erase(ws->groups.begin() + static_cast<ptrdiff_t>(i));
      ox__wsgroup_unref(group);
      return;
    }
  }
}

// ------------------------------------------------------------ the API

int ox_httpsrv_add_ws_route(ox_httpsrv *srv, const char *pattern,
                            const ox_wshandlers *handlers,
                            void *cls) noexcept {
  if (srv == nullptr) return EINVAL;
  if (handlers == nullptr || handlers->message == nullptr) {
    return ox__httpsrv_fail(srv, EINVAL,
                            "a WebSocket route needs a message callback");
  }
  auto *route = static_cast<ox__wsroute *>(ox_alloc(sizeof(ox__wsroute)));
  if (route == nullptr) return ox__httpsrv_fail(srv, ENOMEM, "no memory");
  memset(route, 0, sizeof *route);
  bool bad = false;
  if (!strv_copy(handlers->protocols, &route->protocols, &bad) ||
      !strv_copy(handlers->origins, &route->origins, &bad)) {
    ox__wsroutes_free(route);
    return bad ? ox__httpsrv_fail(srv, EINVAL,
                                  "an empty subprotocol or origin, or one "
                                  "with a control byte")
               : ox__httpsrv_fail(srv, ENOMEM, "no memory");
  }
  route->srv = srv;
  route->cls = cls;
  route->handlers = *handlers;
  route->handlers.protocols = route->protocols;
  route->handlers.origins = route->origins;
  if (int rc = ox_httpsrv_add_route(srv, "GET", pattern, ws_route_cb, route);
      rc != 0) {
    ox__wsroutes_free(route);
    return rc;
  }
  route->next = srv->wsroutes;
  srv->wsroutes = route;
  return 0;
}

int ox_ws_send(ox_ws *ws, const void *data, size_t size,
               ox_wstype type) noexcept {
  if (ws == nullptr || (data == nullptr && size != 0) ||
      (type != OX_WS_TEXT && type != OX_WS_BINARY)) {
    return EINVAL;
  }
  if (type == OX_WS_TEXT && !ox__utf8_valid(data, size)) return EINVAL;
  ox__wsop op = type == OX_WS_TEXT ? ox__wsop::text : ox__wsop::binary;
  std::lock_guard<std::mutex> lock(ws->mutex);
  if (!sendable(ws)) return EPIPE;
  if (ws->writer.deflate.on && size >= ox__ws_deflate_min) {
    uint8_t *frame = nullptr;
    size_t frame_size = 0;
    if (ox__wswriter_frame(&ws->writer, op, data, size, &frame,
                           &frame_size) != 0) {
      return ENOMEM;
    }
    int rc = queue_admit(ws, frame_size);
    if (rc == 0) rc = frame_out(ws, nullptr, 0, frame, frame_size, nullptr);
    ox_free(frame);
    return rc;
  }
  uint8_t head[ox__wsframe_head_max];
  size_t head_len = ox__wsframe_head(head, op, false, size);
  if (int rc = queue_admit(ws, head_len + size); rc != 0) return rc;
  return frame_out(ws, head, head_len, data, size, nullptr);
}

int ox_ws_close(ox_ws *ws, unsigned int code, const char *reason) noexcept {
  if (ws == nullptr) return EINVAL;
  size_t len = reason != nullptr ? strlen(reason) : 0;
  // What an endpoint may send: not 1004 to 1006 nor 1015 (reserved for
  // what no frame carries), nor 1002, which is the library's to send.
  bool code_ok = (code >= 1000 && code <= 1014 && code != 1002 &&
                  (code < 1004 || code > 1006)) ||
                 (code >= 3000 && code <= 4999);
  if (!code_ok || len > 123 || !ox__utf8_valid(reason, len)) return EINVAL;
  std::lock_guard<std::mutex> lock(ws->mutex);
  if (!sendable(ws)) return EPIPE;
  tell(ws, static_cast<uint16_t>(code), reason, len);
  close_out(ws, static_cast<uint16_t>(code), reason, len);
  return 0;
}

int ox_ws_set_data(ox_ws *ws, void *data) noexcept {
  if (ws == nullptr) return EINVAL;
  ws->data.store(data, std::memory_order_release);
  return 0;
}

void *ox_ws_data(const ox_ws *ws) noexcept {
  if (ws == nullptr) return ox__einval<void *>(nullptr);
  return ws->data.load(std::memory_order_acquire);
}

const char *ox_ws_protocol(const ox_ws *ws) noexcept {
  if (ws == nullptr) return ox__einval<const char *>(nullptr);
  return ws->protocol;
}

const char *ox_ws_peer(const ox_ws *ws) noexcept {
  if (ws == nullptr) return ox__einval<const char *>(nullptr);
  return ws->peer;
}

size_t ox_ws_queued(const ox_ws *ws) noexcept {
  if (ws == nullptr) return ox__einval<size_t>(0);
  std::lock_guard<std::mutex> lock(const_cast<ox_ws *>(ws)->mutex);
  return ws->queued;
}

ox_ws *ox_ws_ref(ox_ws *ws) noexcept {
  if (ws != nullptr) ws->refs.fetch_add(1, std::memory_order_relaxed);
  return ws;
}

void ox_ws_unref(ox_ws *ws) noexcept {
  if (ws == nullptr) return;
  if (ws->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  {
    std::lock_guard<std::mutex> lock(ws->mutex);
    queue_drop(ws);
  }
  ox__wsreader_reset(&ws->reader);
  ox__wswriter_reset(&ws->writer);
  ox_free(ws->pending);
  ox_free(ws->protocol);
  delete ws;
}
