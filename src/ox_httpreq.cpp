// Requests: libmicrohttpd's access handler drives each request from its
// head through its body (payload, form fields, uploads) to the callbacks
// and the reply.
#include "ox_httpreq.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_extra.h"
#include "ox_httpauth.h"
#include "ox_httpsrv.h"
#include "ox_httpupld.h"

namespace {

// Bits of ox_httpreq::filled.
constexpr uint8_t req_has_headers = 1;
constexpr uint8_t req_has_cookies = 2;
constexpr uint8_t req_has_params = 4;

constexpr size_t req_post_buffer = 16 * 1024;

// Replies the core makes itself.
constexpr char req_text_400[] = "Bad Request\n";
constexpr char req_text_413[] = "Payload Too Large\n";
constexpr char req_text_500[] = "Internal Server Error\n";

// Queues a short plain-text reply of the core's own and finishes the
// request.
MHD_Result req_queue_text(ox_httpreq *req, unsigned int status,
                          const char *text) noexcept {
  req->stage = ox__reqstage::answered;
  MHD_Response *response = MHD_create_response_from_buffer(
      strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/plain");
  MHD_Result ret = MHD_queue_response(req->res.con, status, response);
  MHD_destroy_response(response);
  return ret;
}

// Sends what the callbacks built: the reply headers go onto it and it is
// queued with its status.  Without one the core answers 500.
MHD_Result req_reply(ox_httpreq *req) noexcept {
  ox_httpres *res = &req->res;
  if (res->handle == nullptr) {
    ox__httpsrv_error(req->srv, "ombrix: no reply to %s %s\n", req->method,
                      req->path);
    return req_queue_text(req, MHD_HTTP_INTERNAL_SERVER_ERROR, req_text_500);
  }
  req->stage = ox__reqstage::answered;
  ox_strmap_iter(res->headers, ox__strmap_iter, res->handle);
  MHD_Result ret = MHD_queue_response(res->con, res->status, res->handle);
  MHD_destroy_response(res->handle);
  res->handle = nullptr;
  return ret;
}

// Authentication runs on the head, before any of the body is read.
// Returns true when the request may go on; otherwise |*ret| is the answer.
bool req_authenticate(ox_httpreq *req, MHD_Result *ret) noexcept {
  ox_httpsrv *srv = req->srv;
  ox_httpauth *auth = ox__httpauth_new(&req->res);
  if (auth == nullptr) {
    *ret = req_queue_text(req, MHD_HTTP_INTERNAL_SERVER_ERROR, req_text_500);
    return false;
  }
  bool pass = srv->auth_cb(srv->cls, auth, req, &req->res);
  if (!pass) {
    req->stage = ox__reqstage::answered;
    if (ox__httpauth_dispatch(auth)) {
      // Canceled after a denial: the denial is dropped, the core answers.
      MHD_destroy_response(req->res.handle);
      req->res.handle = nullptr;
      *ret = req_queue_text(req, MHD_HTTP_INTERNAL_SERVER_ERROR,
                            req_text_500);
    } else {
      // A queued denial, or nothing (the connection is then closed).
      *ret = static_cast<MHD_Result>(req->res.ret);
    }
  }
  ox__httpauth_free(auth);
  if (pass && req->res.handle != nullptr) {
    // A denial prepared but then let through: the request callback answers.
    MHD_destroy_response(req->res.handle);
    req->res.handle = nullptr;
    req->res.status = MHD_HTTP_OK;
  }
  return pass;
}

MHD_Result req_post_iter(void *cls, MHD_ValueKind kind, const char *key,
                         const char *filename, const char *content_type,
                         const char *transfer_encoding, const char *data,
                         uint64_t off, size_t size) noexcept;

bool req_has_prefix(const char *text, const char *prefix) noexcept {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// Looks at the head: does a body follow, of what kind, and does its
// announced length fit the limits?  Returns false when a 413 was queued.
bool req_check_head(ox_httpreq *req, MHD_Result *ret) noexcept {
  // GET and HEAD carry no form and, in practice, no body: skip the header
  // lookups.  A body they do carry is still kept within the payload limit.
  const char *m = req->method;
  if ((m[0] == 'G' && strcmp(m, "GET") == 0) ||
      (m[0] == 'H' && strcmp(m, "HEAD") == 0)) {
    return true;
  }
  MHD_Connection *con = req->res.con;
  const char *length = MHD_lookup_connection_value(
      con, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char *chunked = MHD_lookup_connection_value(
      con, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  if (length == nullptr && chunked == nullptr) return true;
  const char *type = MHD_lookup_connection_value(con, MHD_HEADER_KIND,
                                                 MHD_HTTP_HEADER_CONTENT_TYPE);
  req->multipart =
      type != nullptr && req_has_prefix(type, MHD_HTTP_POST_ENCODING_MULTIPART_FORMDATA);
  // Form bodies are parsed as they arrive (NULL for other types).
  req->post = MHD_create_post_processor(con, req_post_buffer, req_post_iter,
                                        req);
  // A multipart body that cannot be parsed (no usable boundary) would
  // otherwise vanish: answer 400 once it is in.
  if (req->multipart && req->post == nullptr) req->malformed = true;
  if (length == nullptr) return true;
  uint64_t limit = req->srv->payld_limit;
  if (req->multipart) limit += req->srv->uplds_limit;
  if (strtoull(length, nullptr, 10) <= limit) return true;
  *ret = req_queue_text(req, MHD_HTTP_CONTENT_TOO_LARGE, req_text_413);
  return false;
}

// Takes the connection's own record when it is free (keep-alive requests
// then cost no allocation of ours), or a new one.
ox_httpreq *req_new(ox_httpsrv *srv, MHD_Connection *con, const char *url,
                    const char *method) noexcept {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(con, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  auto *req = info != nullptr
                  ? static_cast<ox_httpreq *>(info->socket_context)
                  : nullptr;
  if (req != nullptr && !req->busy) {
    *req = ox_httpreq{};
    req->pooled = true;
  } else {
    req = static_cast<ox_httpreq *>(ox_alloc(sizeof(ox_httpreq)));
    if (req == nullptr) return nullptr;
  }
  req->busy = true;
  req->res.con = con;
  req->res.status = MHD_HTTP_OK;
  req->srv = srv;
  req->path = url;
  req->method = method;
  req->stage = ox__reqstage::receiving;
  return req;
}

// Releases what the request made; most make none of it, so each release is
// guarded.
void req_free(ox_httpreq *req) noexcept {
  if (req->post != nullptr) MHD_destroy_post_processor(req->post);
  if (req->res.handle != nullptr) MHD_destroy_response(req->res.handle);
  if (req->res.headers != nullptr) ox_strmap_cleanup(&req->res.headers);
  if (req->filled != 0) {
    ox_strmap_cleanup(&req->headers);
    ox_strmap_cleanup(&req->cookies);
    ox_strmap_cleanup(&req->params);
  }
  if (req->fields != nullptr) ox_strmap_cleanup(&req->fields);
  if (req->payload != nullptr) ox_str_free(req->payload);
  if (req->field_val != nullptr) ox_str_free(req->field_val);
  if (req->field_name != nullptr) ox_free(req->field_name);
  if (req->uplds != nullptr) ox__httpuplds_free(req->uplds);
  if (req->pooled) {
    req->busy = false;
  } else {
    ox_free(req);
  }
}

// Adds the field being received to the fields map.
void req_flush_field(ox_httpreq *req) noexcept {
  if (req->field_name == nullptr) return;
  const char *val = req->field_val != nullptr ? ox_str_content(req->field_val)
                                              : "";
  if (ox_strmap_add(&req->fields, req->field_name, val) != 0) {
    req->failed = true;
  }
  ox_free(req->field_name);
  req->field_name = nullptr;
  if (req->field_val != nullptr) ox_str_clear(req->field_val);
}

int req_field_piece(ox_httpreq *req, const char *key, const char *data,
                    uint64_t off, size_t size) noexcept {
  if (off == 0 || req->field_name == nullptr) {
    req_flush_field(req);
    req->field_name = ox__strdup(key);
    if (req->field_name == nullptr) return ENOMEM;
  }
  // Multipart fields count against the payload limit; url-encoded ones
  // were counted as payload already.
  if (req->multipart) req->body_size += size;
  if (req->body_size > req->srv->payld_limit) {
    req->too_large = true;
    return 0;
  }
  if (size == 0) return 0;
  if (req->field_val == nullptr) {
    req->field_val = ox_str_new();
    if (req->field_val == nullptr) return ENOMEM;
  }
  return ox_str_write(req->field_val, data, size);
}

int req_file_piece(ox_httpreq *req, const char *key, const char *filename,
                   const char *content_type, const char *data, uint64_t off,
                   size_t size) noexcept {
  // A file input left empty arrives with an empty name: no upload.
  if (*filename == '\0') return 0;
  if (off == 0 || req->upld_last == nullptr) {
    req_flush_field(req);
    ox_httpupld *upld = nullptr;
    int rc = ox__httpupld_new(req->srv->upld_dir, key, filename, content_type,
                              &upld);
    if (rc != 0) return rc;
    if (req->upld_last != nullptr) {
      req->upld_last->next = upld;
    } else {
      req->uplds = upld;
    }
    req->upld_last = upld;
  }
  req->upld_size += size;
  if (req->upld_size > req->srv->uplds_limit) {
    req->too_large = true;
    return 0;
  }
  return ox__httpupld_write(req->upld_last, data, size);
}

MHD_Result req_post_iter(void *cls, MHD_ValueKind kind, const char *key,
                         const char *filename, const char *content_type,
                         const char *transfer_encoding, const char *data,
                         uint64_t off, size_t size) noexcept {
  (void)kind;
  (void)transfer_encoding;
  auto *req = static_cast<ox_httpreq *>(cls);
  int rc = filename != nullptr
               ? req_file_piece(req, key, filename, content_type, data, off,
                                size)
               : req_field_piece(req, key, data, off, size);
  if (rc != 0) {
    // Memory or the upload directory failed us, not the client.
    ox__httpsrv_error(req->srv, "ombrix: upload to %s failed: %s\n",
                      req->path, strerror(rc));
    req->failed = true;
    return MHD_NO;
  }
  return req->too_large ? MHD_NO : MHD_YES;
}

void req_keep_payload(ox_httpreq *req, const char *data, size_t size) noexcept {
  req->body_size += size;
  if (req->body_size > req->srv->payld_limit) {
    req->too_large = true;
    return;
  }
  if (req->payload == nullptr) req->payload = ox_str_new();
  if (req->payload == nullptr || ox_str_write(req->payload, data, size) != 0) {
    req->failed = true;
  }
}

// One piece of the body.  Past a limit the rest is read and dropped, so
// memory stays bounded whatever the client sends.
void req_body(ox_httpreq *req, const char *data, size_t size) noexcept {
  if (req->too_large || req->malformed || req->failed) return;
  // Url-encoded bodies stay readable as the payload too.
  if (!req->multipart) req_keep_payload(req, data, size);
  if (req->post == nullptr || req->too_large) return;
  if (MHD_post_process(req->post, data, size) != MHD_YES && !req->too_large &&
      !req->failed) {
    req->malformed = true;
  }
}

void req_run_isolated(ox_httpreq *req) noexcept {
  req->isolated_cb(req->isolated_cls, req, &req->res);
  req->stage = ox__reqstage::resumed;
}

// Hands the request to a thread of its own; the connection waits suspended
// and is resumed when the isolated callback returns.
MHD_Result req_isolate(ox_httpreq *req) noexcept {
  ox_httpsrv *srv = req->srv;
  if (srv->conn_threads || !ox__httpsrv_isolate_begin(srv)) {
    // The connection's own thread, or a server on its way down: run here.
    req_run_isolated(req);
    return req_reply(req);
  }
  MHD_Connection *con = req->res.con;
  req->stage = ox__reqstage::isolated;
  MHD_suspend_connection(con);
  try {
    std::thread([req, srv, con] {
      req_run_isolated(req);
      MHD_resume_connection(con);
      ox__httpsrv_isolate_end(srv);
    }).detach();
  } catch (...) {
    // No thread: run it here; the resumed connection then calls back for
    // the reply as it would have.
    ox__httpsrv_error(srv, "ombrix: no thread to isolate %s\n", req->path);
    req_run_isolated(req);
    MHD_resume_connection(con);
    ox__httpsrv_isolate_end(srv);
  }
  return MHD_YES;
}

// The whole request is in: answer a broken body, or run the request
// callback.
MHD_Result req_complete(ox_httpreq *req) noexcept {
  if (req->post != nullptr) {
    MHD_destroy_post_processor(req->post);
    req->post = nullptr;
  }
  req_flush_field(req);
  ox__httpuplds_close(req->uplds);
  if (req->too_large) {
    return req_queue_text(req, MHD_HTTP_CONTENT_TOO_LARGE, req_text_413);
  }
  if (req->failed) {
    return req_queue_text(req, MHD_HTTP_INTERNAL_SERVER_ERROR, req_text_500);
  }
  if (req->malformed) {
    return req_queue_text(req, MHD_HTTP_BAD_REQUEST, req_text_400);
  }
  ox_httpsrv *srv = req->srv;
  req->stage = ox__reqstage::calling;
  srv->req_cb(srv->cls, req, &req->res);
  if (req->isolated_cb != nullptr) return req_isolate(req);
  return req_reply(req);
}

// A map of connection values, filled on first use.
ox_strmap **req_map(ox_httpreq *req, ox_strmap **map, uint8_t bit,
                    MHD_ValueKind kind) noexcept {
  if ((req->filled & bit) == 0) {
    req->filled |= bit;
    MHD_get_connection_values(req->res.con, kind, ox__convals_iter, map);
  }
  return map;
}

}  // namespace

MHD_Result ox__httpreq_access(void *cls, MHD_Connection *con, const char *url,
                              const char *method, const char *version,
                              const char *upload_data,
                              size_t *upload_data_size,
                              void **con_cls) noexcept {
  (void)version;
  auto *req = static_cast<ox_httpreq *>(*con_cls);
  if (req == nullptr) {
    auto *srv = static_cast<ox_httpsrv *>(cls);
    req = req_new(srv, con, url, method);
    if (req == nullptr) return MHD_NO;
    *con_cls = req;
    MHD_Result ret = MHD_YES;
    if (srv->auth_cb != nullptr && !req_authenticate(req, &ret)) return ret;
    if (!req_check_head(req, &ret)) return ret;
    // Even without a body, answer on the next call: a reply queued on the
    // head alone makes libmicrohttpd close the connection.
    return MHD_YES;
  }
  switch (req->stage) {
    case ox__reqstage::receiving:
      if (*upload_data_size != 0) {
        req_body(req, upload_data, *upload_data_size);
        *upload_data_size = 0;
        return MHD_YES;
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

void ox__httpreq_connection(void *cls, MHD_Connection *con,
                            void **socket_context,
                            MHD_ConnectionNotificationCode code) noexcept {
  (void)cls;
  (void)con;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    // NULL when memory is short: each request then allocates its own.
    *socket_context = ox_alloc(sizeof(ox_httpreq));
  } else {
    // libmicrohttpd has completed the connection's last request by now.
    ox_free(*socket_context);
    *socket_context = nullptr;
  }
}

void ox__httpreq_completed(void *cls, MHD_Connection *con, void **con_cls,
                           MHD_RequestTerminationCode toe) noexcept {
  (void)cls;
  (void)con;
  (void)toe;
  auto *req = static_cast<ox_httpreq *>(*con_cls);
  if (req == nullptr) return;
  *con_cls = nullptr;
  req_free(req);
}

const char *ox_httpreq_path(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  return req->path;
}

const char *ox_httpreq_method(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<const char *>(nullptr);
  return req->method;
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
  return &req->fields;
}

ox_str *ox_httpreq_payload(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_str *>(nullptr);
  if (req->payload == nullptr) req->payload = ox_str_new();
  return req->payload;
}

bool ox_httpreq_is_uploading(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval(false);
  return req->uplds != nullptr;
}

ox_httpupld *ox_httpreq_uploads(ox_httpreq *req) noexcept {
  if (req == nullptr) return ox__einval<ox_httpupld *>(nullptr);
  return req->uplds;
}

int ox_httpreq_isolate(ox_httpreq *req, ox_httpreq_cb cb, void *cls) noexcept {
  if (req == nullptr || cb == nullptr) return EINVAL;
  if (req->stage != ox__reqstage::calling || req->isolated_cb != nullptr ||
      req->res.handle != nullptr) {
    return EALREADY;
  }
  req->isolated_cb = cb;
  req->isolated_cls = cls;
  return 0;
}
