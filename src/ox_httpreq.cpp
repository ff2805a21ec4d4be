// Requests: libmicrohttpd's access handler drives each request straight
// down: the head (framing checked), authentication, the body, the request
// callback (or an isolated one), the reply.
#include "ox_httpreq.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_error.h"
#include "ox_extra.h"
#include "ox_httpauth.h"
#include "ox_httpconn.h"
#include "ox_httpcors.h"
#include "ox_httplog.h"
#include "ox_httpsrv.h"
#include "ox_ws.h"
#include "ox_httpupld.h"

namespace {

// The method and target of |req| as a client sent them, escaped for the
// error callback ("GET /a%20b"): both are bytes the client chose.
struct req_named {
  char method[32];
  char target[480];
  explicit req_named(const ox_httpreq *req) noexcept {
    ox__escape(req->method != nullptr ? req->method : "-", method,
               sizeof method);
    const char *t = req->target != nullptr ? req->target : req->path;
    ox__escape(t != nullptr ? t : "-", target, sizeof target);
  }
};

// The longest id ox_httpreq_set_log_id() takes: room for the ids programs
// make (a UUID, a trace context), while a log line stays bounded.
constexpr size_t req_log_id_max = 128;

// Bits of ox_httpreq::filled.
constexpr uint8_t req_has_headers = 1;
constexpr uint8_t req_has_cookies = 2;
constexpr uint8_t req_has_params = 4;

// Answers with a reply of the library's own and finishes the request.  On
// the head, before the body is read, the connection closes after it.
MHD_Result req_refuse(ox_httpreq *req, unsigned int status) noexcept {
  req->stage = ox__reqstage::answered;
  if (status == MHD_HTTP_CONTENT_TOO_LARGE) {
    ox__httpstats_refused(&req->srv->stats, ox__refusal::too_large);
  } else if (status == MHD_HTTP_SERVICE_UNAVAILABLE) {
    ox__httpstats_refused(&req->srv->stats, ox__refusal::busy);
  }
  if (status != MHD_HTTP_METHOD_NOT_ALLOWED) {
    return ox__httpres_queue_status(&req->res, status);
  }
  ox_httpsrv *srv = req->srv;
  return ox__httpres_queue_status(
      &req->res, status,
      ox__httproutes_allow(&srv->routes, &req->match, req->path,
                           srv->match_limit));
}

// Sends what the callbacks described.  Without a reply the library answers
// 500.
MHD_Result req_reply(ox_httpreq *req) noexcept {
  if (req->refusal != 0) return req_refuse(req, req->refusal);
  if (!ox__httpres_prepared(&req->res)) {
    req_named named(req);
    ox__httpsrv_peer_error(req->srv, req->res.con, "no reply to %s %s",
                           named.method, named.target);
    return req_refuse(req, MHD_HTTP_INTERNAL_SERVER_ERROR);
  }
  req->stage = ox__reqstage::answered;
  return ox__httpres_queue(&req->res, req->realm);
}

// What the head says of the body, and whether it reads as a strict server
// reads it.
struct req_framing {
  const char *at;        // the end of the last line read, for the next
  const char *length;    // the Content-Length, or NULL
  const char *coding;    // the Transfer-Encoding, or NULL
  unsigned int lengths;  // Content-Length fields
  unsigned int codings;  // Transfer-Encoding fields
  unsigned int hosts;    // Host fields
  bool conflict;         // Content-Length fields that disagree
  bool malformed;        // a line a strict server refuses
};

bool req_is_tchar(unsigned char c) noexcept {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool req_is_token(const char *s) noexcept {
  if (*s == '\0') return false;
  for (; *s != '\0'; s++) {
    if (!req_is_tchar(static_cast<unsigned char>(*s))) return false;
  }
  return true;
}

// libmicrohttpd reads a head in place: it cuts each line at its CRLF by
// writing NULs over it, and a field line at its colon ("Name\0 value\0\0"),
// and hands out pointers into those lines.  So the bytes between the end of
// one line's text and the start of the next must be exactly its CRLF made
// NULs, and a field's value must follow its name and colon with nothing but
// spaces between.  Whatever libmicrohttpd read otherwise breaks that chain,
// and a proxy before the server may read it otherwise still:
//  - a continuation line (obs-fold), which libmicrohttpd appends to the
//    field *name* in a block of its own ("Transfer-Encoding:\r\n chunked"
//    becomes the field "Transfer-Encodingchunked");
//  - a NUL inside a line, which cuts a value ("Content-Length: 1\0" "2")
//    or the target short;
//  - a line libmicrohttpd drops (no name before the colon), or a bare LF as
//    a line's end.
// True when |to| lies |gap| NUL bytes after |from|.
bool req_nuls_between(const char *from, const char *to, uintptr_t gap) noexcept {
  auto f = reinterpret_cast<uintptr_t>(from);
  auto t = reinterpret_cast<uintptr_t>(to);
  if (t < f || t - f != gap) return false;
  for (const char *p = from; p < to; p++) {
    if (*p != '\0') return false;
  }
  return true;
}

// True when the field line (|key|, |value|) follows the line ending at
// |at|, with its name and value side by side; a value with a CR in it is
// refused too (RFC 9110 §5.5), as a proxy may end the line there.
bool req_line_follows(const char *at, const char *key,
                      const char *value) noexcept {
  if (!req_nuls_between(at, key, 2)) return false;
  auto k = reinterpret_cast<uintptr_t>(key);
  auto v = reinterpret_cast<uintptr_t>(value);
  uintptr_t after_colon = k + strlen(key) + 1;
  if (v < after_colon || v - after_colon > 64 * 1024) return false;
  for (const char *p = key + (after_colon - k); p < value; p++) {
    if (*p != ' ' && *p != '\t') return false;
  }
  return strchr(value, '\r') == nullptr;
}

MHD_Result req_framing_iter(void *cls, MHD_ValueKind kind, const char *key,
                            const char *value) noexcept {
  (void)kind;
  auto *f = static_cast<req_framing *>(cls);
  // "Name : value" reaches here as the name "Name ": a proxy may read it
  // as the field, so it is refused rather than ignored.
  if (value == nullptr || !req_is_token(key) ||
      !req_line_follows(f->at, key, value)) {
    f->malformed = true;
    return MHD_NO;
  }
  f->at = value + strlen(value);
  if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
    if (f->lengths++ == 0) {
      f->length = value;
    } else if (strcmp(f->length, value) != 0) {
      f->conflict = true;
    }
  } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
    f->codings++;
    f->coding = value;
  } else if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) {
    f->hosts++;
  }
  return MHD_YES;
}

// The request line as a strict server reads it: a method that is a token,
// one space, a target without spaces or control bytes (none cut short by a
// NUL), one space, the version.
bool req_line_sound(const ox_httpreq *req) noexcept {
  if (!req_is_token(req->method)) return false;
  const ox_httpconn *conn = req->conn;
  const char *target = conn->target;
  if (target == nullptr) return true;  // not kept: nothing to compare
  for (const char *p = target; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7f) return false;
  }
  size_t len = strlen(target);
  return len != 0 && conn->target_at == req->method + strlen(req->method) + 1 &&
         conn->target_at + len + 1 == req->version;
}

// Checks the request line and how the body is framed, so that the library
// and any proxy before it agree where this request ends and the next
// begins.  Returns 0, or the status to refuse the request with (the
// connection then closes).  |*length| is the body's length: 0 without a
// body, UINT64_MAX when chunked.
unsigned int req_check_framing(ox_httpreq *req, const char *version,
                               uint64_t *length) noexcept {
  const MHD_ConnectionInfo *head =
      MHD_get_connection_info(req->res.con, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  req_framing f{};
  f.at = version + strlen(version);
  if (head == nullptr || !req_line_sound(req)) return MHD_HTTP_BAD_REQUEST;
  MHD_get_connection_values(req->res.con, MHD_HEADER_KIND, req_framing_iter,
                            &f);
  // The head ends with the last line's CRLF and an empty line's.
  if (!f.malformed &&
      !req_nuls_between(f.at, req->method + head->header_size, 4)) {
    f.malformed = true;
  }
  // Every HTTP/1.x from 1.1 on names its host.
  bool http11 = strcmp(version, MHD_HTTP_VERSION_1_0) != 0;
  if (f.malformed || f.conflict || f.hosts > 1 || (http11 && f.hosts == 0)) {
    return MHD_HTTP_BAD_REQUEST;
  }
  // A tunnel is not something the library makes: a 2xx to CONNECT would
  // leave a proxy in front passing what follows unread.
  if (strcmp(req->method, MHD_HTTP_METHOD_CONNECT) == 0) {
    return MHD_HTTP_NOT_IMPLEMENTED;
  }
  *length = 0;
  if (f.codings != 0) {
    // A length beside a coding, or a coding in HTTP/1.0, is how requests
    // are smuggled past a proxy.
    if (f.lengths != 0 || !http11) return MHD_HTTP_BAD_REQUEST;
    if (f.codings > 1 || strcasecmp(f.coding, "chunked") != 0) {
      return MHD_HTTP_NOT_IMPLEMENTED;
    }
    *length = UINT64_MAX;
  } else if (f.length != nullptr) {
    // libmicrohttpd refused a length that is not all digits already.
    *length = strtoull(f.length, nullptr, 10);
  }
  return 0;
}

// The length of the scheme and "://" of an absolute-form target, or 0.
size_t req_absolute_prefix(const char *target) noexcept {
  if (strncasecmp(target, "http://", 7) == 0) return 7;
  if (strncasecmp(target, "https://", 8) == 0) return 8;
  return 0;
}

// Reads the request target: the path to serve, the query as sent, and the
// host of an absolute-form target ("GET http://host/path", which a server
// must take as well as "/path"; the host then stands for the Host field).
// Returns 0, or 400 for a target that decodes to a NUL byte (the path
// would be cut short: "/a%00.html" would serve "/a"), and for a target of
// no form the method allows.  500 when memory runs out.
unsigned int req_read_target(ox_httpreq *req) noexcept {
  const ox_httpconn *conn = req->conn;
  const char *target = conn->target != nullptr ? conn->target : req->path;
  // Kept before any refusal: the log and the error callback then show the
  // target as sent, not the path its NUL cut short.
  req->target = target;
  if (conn->target_nul) return MHD_HTTP_BAD_REQUEST;
  const char *question = strchr(target, '?');
  req->query = question != nullptr ? question + 1 : nullptr;
  if (target[0] == '/') return 0;
  if (size_t scheme = req_absolute_prefix(target)) {
    size_t host = strcspn(target + scheme, "/?");
    // The path libmicrohttpd decoded starts with the same scheme and host.
    const char *path = req->path;
    if (host == 0 || strlen(path) < scheme + host ||
        strncmp(path + scheme, target + scheme, host) != 0) {
      return MHD_HTTP_BAD_REQUEST;
    }
    path += scheme + host;
    req->path = *path != '\0' ? path : "/";
    req->authority = static_cast<char *>(ox_alloc(host + 1));
    if (req->authority == nullptr) return MHD_HTTP_INTERNAL_SERVER_ERROR;
    memcpy(req->authority, target + scheme, host);
    return 0;
  }
  // "OPTIONS *" asks about the server; CONNECT names a host and port.
  if (strcmp(req->method, MHD_HTTP_METHOD_OPTIONS) == 0 &&
      strcmp(target, "*") == 0) {
    return 0;
  }
  return strcmp(req->method, MHD_HTTP_METHOD_CONNECT) == 0
             ? 0
             : MHD_HTTP_BAD_REQUEST;
}

MHD_Result req_answer_on_head(ox_httpreq *req, uint64_t length) noexcept;

// Authentication runs on the head, before any of the body (|length|
// bytes) is read.  Returns true when the request may go on; otherwise
// |*ret| is the answer.
bool req_authenticate(ox_httpreq *req, uint64_t length,
                      MHD_Result *ret) noexcept {
  ox_httpsrv *srv = req->srv;
  ox_httpauth *auth = ox__httpauth_new(&req->res);
  if (auth == nullptr) {
    *ret = req_refuse(req, MHD_HTTP_INTERNAL_SERVER_ERROR);
    return false;
  }
  bool pass = srv->auth_cb(srv->cls, auth, req, &req->res);
  if (pass) {
    // A denial prepared but then let through: the request callback answers.
    ox__httpauth_withdraw(auth);
  } else if (ox__httpauth_dispatch(auth, length == 0 ? &req->realm : nullptr)) {
    // Canceled after a denial: the denial is dropped, the library answers.
    ox__httpauth_withdraw(auth);
    *ret = req_refuse(req, MHD_HTTP_INTERNAL_SERVER_ERROR);
  } else if (req->realm != nullptr) {
    // Without a body the denial waits for the end of the head, so that
    // the connection stays open for the credentials that follow it.
    *ret = req_answer_on_head(req, 0);
  } else {
    // A queued denial, or nothing (the connection is then closed).
    req->stage = ox__reqstage::answered;
    *ret = static_cast<MHD_Result>(req->res.ret);
  }
  ox__httpauth_free(auth);
  return pass;
}

// A server that asks for client certificates serves only the connections
// whose certificate chains to its CAs; the answer is kept per connection,
// since checking a chain costs signature verifications.
bool req_client_verified(ox_httpreq *req) noexcept {
  ox_httpconn *conn = req->conn;
  if (conn->client_cert == 0) {
    conn->client_cert = ox__httptls_client_verified(req->res.con) ? 1 : -1;
  }
  return conn->client_cert > 0;
}

// Finds the route that takes the request.  Returns 0 (a route, or the
// request callback, answers), 404, 405 or 500.
unsigned int req_route(ox_httpreq *req) noexcept {
  ox_httpsrv *srv = req->srv;
  if (srv->routes.count != 0) {
    int rc = ox__httproutes_find(&srv->routes, req->method, req->path,
                                 srv->match_limit, &req->match);
    if (rc == E2BIG) {
      req_named named(req);
      ox__httpsrv_peer_error(srv, req->res.con,
                             "route %s ran out of its %u matching steps on "
                             "%s %s; answered 500",
                             req->match.spent->pattern,
                             static_cast<unsigned>(srv->match_limit),
                             named.method, named.target);
    }
    if (rc != 0) return MHD_HTTP_INTERNAL_SERVER_ERROR;
    if (req->match.route != nullptr) return 0;
    if (req->match.path_matched) return MHD_HTTP_METHOD_NOT_ALLOWED;
  }
  return srv->req_cb != nullptr ? 0 : MHD_HTTP_NOT_FOUND;
}

// What sees every reply of the request before it is built: CORS headers
// for an allowed origin, then the program's after hook.
void req_filter(void *cls, ox_httpres *res) noexcept {
  auto *req = static_cast<ox_httpreq *>(cls);
  ox_httpsrv *srv = req->srv;
  if (srv->cors != nullptr && ox__cors_allowed(srv->cors, req->origin)) {
    ox__cors_decorate(srv->cors, req->origin, res);
  }
  if (srv->after_cb != nullptr) srv->after_cb(srv->after_cls, req, res);
}

// A reply described on the head (a preflight's, the before hook's) goes
// out at once when a body is coming, which is then not read, or once the
// head is done, so that the connection stays open.
MHD_Result req_answer_on_head(ox_httpreq *req, uint64_t length) noexcept {
  if (length != 0) {
    req->stage = ox__reqstage::answered;
    return ox__httpres_queue(&req->res);
  }
  req->replied = true;
  req->conn->body_unread = false;
  return MHD_YES;
}

// True for a CORS preflight from an origin the server allows: answered for
// every path, before authentication, since browsers send no credentials
// with it.
bool req_is_preflight(const ox_httpreq *req) noexcept {
  return strcmp(req->method, MHD_HTTP_METHOD_OPTIONS) == 0 &&
         ox__cors_allowed(req->srv->cors, req->origin) &&
         MHD_lookup_connection_value(req->res.con, MHD_HEADER_KIND,
                                     "Access-Control-Request-Method") !=
             nullptr;
}

MHD_Result req_preflight(ox_httpreq *req, uint64_t length) noexcept {
  const char *asked = MHD_lookup_connection_value(
      req->res.con, MHD_HEADER_KIND, "Access-Control-Request-Headers");
  if (ox__cors_preflight(req->srv->cors, req->origin, asked, &req->res) !=
      0) {
    return req_refuse(req, MHD_HTTP_INTERNAL_SERVER_ERROR);
  }
  return req_answer_on_head(req, length);
}

// The program's before hook, on the routed head.  Returns true when the
// request goes on; otherwise |*ret| is the answer.
bool req_before(ox_httpreq *req, uint64_t length, MHD_Result *ret) noexcept {
  ox_httpsrv *srv = req->srv;
  if (srv->before_cb(srv->before_cls, req, &req->res)) return true;
  if (ox__httpres_prepared(&req->res)) {
    *ret = req_answer_on_head(req, length);
    return false;
  }
  req_named named(req);
  ox__httpsrv_peer_error(srv, req->res.con,
                         "the before hook stopped %s %s without a reply",
                         named.method, named.target);
  *ret = req_refuse(req, MHD_HTTP_INTERNAL_SERVER_ERROR);
  return false;
}

// Takes the connection's own record when it is free (keep-alive requests
// then cost no allocation of ours), or a new one.
ox_httpreq *req_new(ox_httpsrv *srv, ox_httpconn *conn, MHD_Connection *con,
                    const char *url, const char *method) noexcept {
  ox_httpreq *req = &conn->req;
  if (!req->busy) {
    *req = ox_httpreq{};
    req->pooled = true;
  } else {
    req = static_cast<ox_httpreq *>(ox_alloc(sizeof(ox_httpreq)));
    if (req == nullptr) return nullptr;
  }
  req->busy = true;
  ox__httpres_start(&req->res, con, srv, conn, method);
  req->srv = srv;
  req->conn = conn;
  req->path = url;
  req->method = method;
  req->stage = ox__reqstage::receiving;
  if (srv->after_cb != nullptr || srv->cors != nullptr) {
    req->res.filter = req_filter;
    req->res.filter_cls = req;
  }
  if (srv->cors != nullptr) {
    req->origin = MHD_lookup_connection_value(con, MHD_HEADER_KIND, "Origin");
  }
  return req;
}

// Releases what the request made; most make none of it, so each release is
// guarded.
void req_free(ox_httpreq *req) noexcept {
  ox__httpres_free(&req->res);
  if (req->ws != nullptr) {
    ox__ws_abandon(req->ws);
    req->ws = nullptr;
  }
  if (req->filled != 0) {
    ox_strmap_cleanup(&req->headers);
    ox_strmap_cleanup(&req->cookies);
    ox_strmap_cleanup(&req->params);
  }
  ox__httpbody_free(&req->body);
  ox_free(req->authority);
  ox_free(req->log_id);
  ox_free(req->realm);
  if (req->pooled) {
    req->busy = false;
  } else {
    ox_free(req);
  }
}

// The head is in: check its framing, authenticate, and get ready for the
// body.  A refusal here closes the connection after its reply.
MHD_Result req_head(ox_httpsrv *srv, MHD_Connection *con, const char *url,
                    const char *method, const char *version,
                    void **con_cls) noexcept {
  // A connection the watchdog does not see is not served.
  ox_httpconn *conn = ox__httpconn_of(con);
  if (conn == nullptr) return MHD_NO;
  ox_httpreq *req = req_new(srv, conn, con, url, method);
  if (req == nullptr) return MHD_NO;
  req->version = version;
  *con_cls = req;
  req->start_us = ox__httpconn_enter(conn, ox__connphase::busy);
  // A refusal on the head closes the connection with whatever the client
  // sends after it (a body, pipelined requests) unread: it then lingers.
  conn->body_unread = true;
  uint64_t length = 0;
  if (unsigned int status = req_read_target(req)) {
    return req_refuse(req, status);
  }
  req->res.path = req->path;
  req->res.query = req->query;
  if (unsigned int status = req_check_framing(req, version, &length)) {
    return req_refuse(req, status);
  }
  if (srv->tls.client_ca != nullptr && !req_client_verified(req)) {
    return req_refuse(req, MHD_HTTP_FORBIDDEN);
  }
  MHD_Result ret = MHD_YES;
  if (srv->cors != nullptr && req_is_preflight(req)) {
    return req_preflight(req, length);
  }
  if (srv->auth_cb != nullptr && !req_authenticate(req, length, &ret)) {
    return ret;
  }
  if (unsigned int status = req_route(req)) {
    // A body nobody takes is not worth reading.
    if (length != 0) return req_refuse(req, status);
    req->refusal = status;
  } else if (srv->before_cb != nullptr && !req_before(req, length, &ret)) {
    return ret;
  }
  const char *type = MHD_lookup_connection_value(con, MHD_HEADER_KIND,
                                                 MHD_HTTP_HEADER_CONTENT_TYPE);
  if (unsigned int status =
          ox__httpbody_begin(&req->body, srv, type, length)) {
    return req_refuse(req, status);
  }
  if (length != 0) {
    ox__httpconn_enter(conn, ox__connphase::body);
    ox__httpconn_check_peer(conn);
  }
  // Likewise until the body is in.
  conn->body_unread = length != 0;
  // libmicrohttpd reads chunk lines and trailers more leniently than a
  // proxy in front may (a bare LF, a line that starts with a NUL ends the
  // trailers): nothing after a chunked body is trusted as a request.
  req->res.close = length == UINT64_MAX;
  // Even without a body, answer on the next call: a reply queued on the
  // head alone makes libmicrohttpd close the connection.
  return MHD_YES;
}

// One piece of the body.  One that goes on far past its limit, or that a
// body callback refused, is told so at once, and the connection closed.
MHD_Result req_receive(ox_httpreq *req, const char *data,
                       size_t *size) noexcept {
  ox__httpconn_received(req->conn, *size);
  bool go_on = ox__httpbody_feed(&req->body, data, *size);
  *size = 0;
  if (!go_on) {
    req->stage = ox__reqstage::answered;
    if (req->body.status == MHD_HTTP_CONTENT_TOO_LARGE) {
      ox__httpstats_refused(&req->srv->stats, ox__refusal::too_large);
    }
    ox__httpres_write_early(&req->res, req->body.status, req->conn->fd,
                            req->srv->tls.on);
    ox__httpsrv_closing_on_purpose();
    return MHD_NO;
  }
  ox__httpconn_check_peer(req->conn);
  return MHD_YES;
}

// The isolated callback's closure is handed back once, run or not.
void req_release_isolated(ox_httpreq *req) noexcept {
  if (req->isolated_free != nullptr) req->isolated_free(req->isolated_cls);
  req->isolated_free = nullptr;
}

void req_call_isolated(ox_httpreq *req) noexcept {
  req->isolated_cb(req->isolated_cls, req, &req->res);
  req_release_isolated(req);
  req->stage = ox__reqstage::resumed;
}

// Hands the request to the isolation pool; the connection waits suspended
// and is resumed when the isolated callback returns.
MHD_Result req_isolate(ox_httpreq *req) noexcept {
  ox_httpsrv *srv = req->srv;
  if (srv->conn_threads) {
    // Each connection's own thread may block: run it here.
    req_call_isolated(req);
    return req_reply(req);
  }
  MHD_Connection *con = req->res.con;
  req->stage = ox__reqstage::isolated;
  MHD_suspend_connection(con);
  int rc = ox__httppool_add(&srv->pool, req);
  if (rc == 0) return MHD_YES;
  if (rc == EAGAIN) {
    // Every worker busy and the queue full: the client may come back.
    req_named named(req);
    ox__httpsrv_peer_error(srv, con, "isolation pool full, %s %s refused",
                           named.method, named.target);
    req->refusal = MHD_HTTP_SERVICE_UNAVAILABLE;
    req_release_isolated(req);
    req->stage = ox__reqstage::resumed;
  } else {
    // No worker (the server stops, or none could start): run it here; the
    // resumed connection then calls back for the reply as it would have.
    req_call_isolated(req);
  }
  MHD_resume_connection(con);
  return MHD_YES;
}

// The whole request is in: answer a broken body, or run the request
// callback.
MHD_Result req_complete(ox_httpreq *req) noexcept {
  ox__httpconn_enter(req->conn, ox__connphase::busy);
  req->conn->body_unread = false;
  if (req->replied) return req_reply(req);  // answered on the head
  if (unsigned int status = ox__httpbody_finish(&req->body)) {
    if (status == MHD_HTTP_INTERNAL_SERVER_ERROR) {
      req_named named(req);
      ox__httpsrv_peer_error(req->srv, req->res.con, "upload to %s failed: %s",
                             named.target, strerror(req->body.failure));
    }
    return req_refuse(req, status);
  }
  if (req->refusal != 0) return req_refuse(req, req->refusal);
  ox_httpsrv *srv = req->srv;
  const ox__httproute *route = req->match.route;
  req->stage = ox__reqstage::calling;
  if (route != nullptr) {
    route->cb(route->cls, req, &req->res);
  } else {
    srv->req_cb(srv->cls, req, &req->res);
  }
  if (req->isolated_cb != nullptr) return req_isolate(req);
  return req_reply(req);
}

// True for an id of printable ASCII alone: nothing in it can end a log
// line or be read as another field's bytes by a terminal.
bool req_log_id_printable(const char *id) noexcept {
  for (const char *p = id; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7f) return false;
  }
  return true;
}

bool req_ows(char c) noexcept { return c == ' ' || c == '\t'; }

// Adds the cookies of one Cookie field line ("a=1; b=\"two\"") to |map|:
// pairs split at ';', names and values trimmed, a value's quotes removed,
// a name without '=' taken with an empty value, an empty name skipped.
void req_add_cookies(ox_strmap **map, const char *line) noexcept {
  std::unique_ptr<char, ox__free_deleter> copy{ox__strdup(line)};
  if (!copy) return;
  char *p = copy.get();
  while (*p != '\0') {
    char *end = strchr(p, ';');
    char *next = end != nullptr ? end + 1 : p + strlen(p);
    if (end != nullptr) *end = '\0';
    while (req_ows(*p)) p++;
    char *eq = strchr(p, '=');
    char *value = eq != nullptr ? eq + 1 : p + strlen(p);
    char *name_end = eq != nullptr ? eq : value;
    while (name_end > p && req_ows(name_end[-1])) name_end--;
    *name_end = '\0';
    while (req_ows(*value)) value++;
    size_t n = strlen(value);
    while (n > 0 && req_ows(value[n - 1])) value[--n] = '\0';
    if (n >= 2 && value[0] == '"' && value[n - 1] == '"') {
      value[n - 1] = '\0';
      value++;
    }
    if (*p != '\0') ox_strmap_add(map, p, value);
    p = next;
  }
}

MHD_Result req_cookie_lines(void *cls, MHD_ValueKind kind, const char *key,
                            const char *value) noexcept {
  (void)kind;
  if (value != nullptr && strcasecmp(key, MHD_HTTP_HEADER_COOKIE) == 0) {
    req_add_cookies(static_cast<ox_strmap **>(cls), value);
  }
  return MHD_YES;
}

// A map of connection values, filled on first use.
ox_strmap **req_map(ox_httpreq *req, ox_strmap **map, uint8_t bit,
                    MHD_ValueKind kind) noexcept {
  if ((req->filled & bit) == 0) {
    req->filled |= bit;
    // Every Cookie line counts (libmicrohttpd reads the first alone).
    if (kind == MHD_COOKIE_KIND) {
      MHD_get_connection_values(req->res.con, MHD_HEADER_KIND,
                                req_cookie_lines, map);
      return map;
    }
    MHD_get_connection_values(req->res.con, kind, ox__convals_iter, map);
    // The host of an absolute-form target overrides the Host field.
    if (kind == MHD_HEADER_KIND && req->authority != nullptr) {
      ox_strmap_set(map, MHD_HTTP_HEADER_HOST, req->authority);
    }
  }
  return map;
}

}  // namespace

MHD_Result ox__httpreq_access(void *cls, MHD_Connection *con, const char *url,
                              const char *method, const char *version,
                              const char *upload_data,
                              size_t *upload_data_size,
                              void **con_cls) noexcept {
  auto *req = static_cast<ox_httpreq *>(*con_cls);
  if (req == nullptr) {
    return req_head(static_cast<ox_httpsrv *>(cls), con, url, method, version,
                    con_cls);
  }
  switch (req->stage) {
    case ox__reqstage::receiving:
      if (*upload_data_size != 0) {
        return req_receive(req, upload_data, upload_data_size);
      }
      return req_complete(req);
    case ox__reqstage::resumed:
      return req_reply(req);
    default:
      // Answered already: drop whatever of the body still arrives.
      *upload_data_size = 0;
      return MHD_YES;
  }
}

void ox__httpreq_completed(void *cls, MHD_Connection *con, void **con_cls,
                           MHD_RequestTerminationCode toe) noexcept {
  (void)cls;
  (void)con;
  auto *req = static_cast<ox_httpreq *>(*con_cls);
  if (req == nullptr) return;
  *con_cls = nullptr;
  // A kept-alive connection now waits for its next head; that moment is
  // also the end of this request for the log.
  ox_httpconn *conn = req->conn;
  int64_t end_us = ox__httpconn_enter(conn, ox__connphase::head);
  ox_httpsrv *srv = req->srv;
  if (toe == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
    conn->cause.store(ox__closecause::idle, std::memory_order_relaxed);
  }
  if (srv->stats.on && req->res.sent_status != 0) {
    const ox__httproute *route = req->match.route;
    ox__httpstats_request(
        &srv->stats, req->method, req->res.sent_status,
        route != nullptr ? static_cast<size_t>(route - srv->routes.list)
                         : SIZE_MAX,
        static_cast<uint64_t>(end_us > req->start_us ? end_us - req->start_us
                                                     : 0),
        req->body.received,
        ox__httpres_body_bytes(&req->res,
                               toe == MHD_REQUEST_TERMINATED_COMPLETED_OK));
  }
  if (srv->log_cb != nullptr) ox__httplog_emit(req, toe, end_us);
  req_free(req);
}

void ox__httpreq_run_isolated(ox_httpreq *req) noexcept {
  MHD_Connection *con = req->res.con;
  req_call_isolated(req);
  MHD_resume_connection(con);
}

const char *ox_httpreq_path(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  return req->path;
}

const char *ox_httpreq_method(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  return req->method;
}

const char *ox_httpreq_peer(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  return ox__httpconn_peer(req->conn, req->res.con);
}

ox_httpsrv *ox_httpreq_srv(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_httpsrv *>(nullptr);
  return req->srv;
}

ox_strmap **ox_httpreq_headers(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return req_map(req, &req->headers, req_has_headers, MHD_HEADER_KIND);
}

ox_strmap **ox_httpreq_cookies(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return req_map(req, &req->cookies, req_has_cookies, MHD_COOKIE_KIND);
}

ox_strmap **ox_httpreq_params(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return req_map(req, &req->params, req_has_params, MHD_GET_ARGUMENT_KIND);
}

ox_strmap **ox_httpreq_fields(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_strmap **>(nullptr);
  return &req->body.fields;
}

ox_str *ox_httpreq_payload(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_str *>(nullptr);
  if (req->body.payload == nullptr) req->body.payload = ox_str_new();
  if (req->body.payload == nullptr) errno = ENOMEM;
  return req->body.payload;
}

bool ox_httpreq_is_uploading(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval(false);
  return req->body.uplds != nullptr;
}

ox_httpupld *ox_httpreq_uploads(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_httpupld *>(nullptr);
  return req->body.uplds;
}

const char *ox_httpreq_var(ox_httpreq *req, const char *name,
                           size_t *len) noexcept {
  if (len != nullptr) *len = 0;
  if (req == nullptr || name == nullptr) {
    return ox__einval<const char *>(nullptr);
  }
  return ox__httproutematch_var(&req->match, req->path, name, len);
}

const char *ox_httpreq_capture(ox_httpreq *req, unsigned int index,
                               size_t *len) noexcept {
  if (len != nullptr) *len = 0;
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  if (index >= ox__httproute_groups_max) return nullptr;
  return ox__httproutematch_group(&req->match, req->path, index + 1, len);
}

int ox_httpreq_set_body_cb(ox_httpreq *req, ox_httpbody_cb cb, void *cls,
                           ox_free_cb free_cb) noexcept {
  int rc = 0;
  if (req == nullptr || cb == nullptr) {
    rc = EINVAL;
  } else if (req->stage != ox__reqstage::receiving) {
    rc = EALREADY;
  } else {
    // Refused too once the body is begun: the callback itself runs while
    // the request is still receiving.
    rc = ox__httpbody_sink(&req->body, req, cb, cls, free_cb);
  }
  if (rc != 0 && free_cb != nullptr) free_cb(cls);
  return rc;
}

int ox_httpreq_isolate2(ox_httpreq *req, ox_httpreq_cb cb, void *cls,
                        ox_free_cb free_cb) noexcept {
  int rc = 0;
  if (req == nullptr || cb == nullptr) {
    rc = EINVAL;
  } else if (req->stage != ox__reqstage::calling ||
             req->isolated_cb != nullptr ||
             ox__httpres_prepared(&req->res)) {
    rc = EALREADY;
  }
  if (rc != 0) {
    if (free_cb != nullptr) free_cb(cls);
    return rc;
  }
  req->isolated_cb = cb;
  req->isolated_cls = cls;
  req->isolated_free = free_cb;
  return 0;
}

int ox_httpreq_isolate(ox_httpreq *req, ox_httpreq_cb cb, void *cls) noexcept {
  return ox_httpreq_isolate2(req, cb, cls, nullptr);
}

int ox_httpreq_set_log_id(ox_httpreq *req, const char *id) noexcept {
  if (req == nullptr || id == nullptr) return EINVAL;
  size_t len = strnlen(id, req_log_id_max + 1);
  if (len == 0 || len > req_log_id_max || !req_log_id_printable(id)) {
    return EINVAL;
  }
  ox__errno_guard keep;
  char *copy = ox__strdup(id);
  if (copy == nullptr) return ENOMEM;
  ox_free(req->log_id);
  req->log_id = copy;
  return 0;
}
