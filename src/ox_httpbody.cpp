// Request bodies: every byte is counted against the limits before it is
// held, form parts are handed from the parser straight to the fields map or
// to an upload file, and each upload file is closed as its part ends, so a
// request holds at most one descriptor however many files it carries.  A
// body the program takes itself goes to its callback and nowhere else.
#include "ox_httpbody.h"

#include <cerrno>
#include <cstring>

#include "ox_alloc.h"
#include "ox_httpsrv.h"
#include "ox_httpupld.h"

namespace {

// How far past what it could have been allowed a body is still read (and
// dropped) so that its client gets the 4xx instead of a cut connection.
constexpr uint64_t body_drain_slack = 1024 * 1024;

uint64_t body_sum(uint64_t a, uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The first fault decides the reply; a 500 keeps its cause for the log.
int body_fail(ox_httpbody *body, unsigned int status, int failure) noexcept {
  if (body->status == 0) {
    body->status = status;
    body->failure = failure;
  }
  return status == 413 ? E2BIG : failure != 0 ? failure : EBADMSG;
}

int body_over_limit(ox_httpbody *body) noexcept {
  return body_fail(body, 413, 0);
}

// Multipart field names and values are held as they arrive; url-encoded
// ones are held through the payload already.
int body_hold(ox_httpbody *body, size_t size) noexcept {
  if (!body->multipart) return 0;
  body->held += size;
  return body->held > body->srv->payld_limit ? body_over_limit(body) : 0;
}

int body_begin_file(ox_httpbody *body, const char *name, const char *filename,
                    const char *mime) noexcept {
  // A file input left empty arrives with an empty name: no upload.
  if (*filename == '\0') {
    body->part = ox__bodypart::skipped;
    return 0;
  }
  if (++body->nfiles > body->srv->files_max) return body_over_limit(body);
  ox_httpupld *upld = nullptr;
  int rc = ox__httpupld_new(body->srv->upld_dir, body->srv->file_mode, name,
                            filename, mime, &upld);
  if (rc != 0) return body_fail(body, 500, rc);
  if (body->upld_last != nullptr) {
    body->upld_last->next = upld;
  } else {
    body->uplds = upld;
  }
  body->upld_last = upld;
  body->part = ox__bodypart::file;
  return 0;
}

int body_part_begin(void *cls, const char *name, const char *filename,
                    const char *mime) noexcept {
  auto *body = static_cast<ox_httpbody *>(cls);
  if (filename != nullptr) return body_begin_file(body, name, filename, mime);
  if (++body->nfields > body->srv->fields_max) return body_over_limit(body);
  if (int rc = body_hold(body, strlen(name) + 1); rc != 0) return rc;
  if (body->field_val != nullptr) ox_str_clear(body->field_val);
  body->field_name = name;
  body->part = ox__bodypart::field;
  return 0;
}

int body_part_data(void *cls, const char *data, size_t size) noexcept {
  auto *body = static_cast<ox_httpbody *>(cls);
  if (body->part == ox__bodypart::file) {
    body->file_bytes += size;
    if (body->file_bytes > body->srv->uplds_limit) {
      return body_over_limit(body);
    }
    int rc = ox__httpupld_write(body->upld_last, data, size);
    return rc != 0 ? body_fail(body, 500, rc) : 0;
  }
  if (body->part != ox__bodypart::field) return 0;
  if (int rc = body_hold(body, size); rc != 0) return rc;
  if (body->field_val == nullptr) body->field_val = ox_str_new();
  if (body->field_val == nullptr ||
      ox_str_write(body->field_val, data, size) != 0) {
    return body_fail(body, 500, ENOMEM);
  }
  return 0;
}

int body_part_end(void *cls) noexcept {
  auto *body = static_cast<ox_httpbody *>(cls);
  ox__bodypart part = body->part;
  body->part = ox__bodypart::none;
  if (part == ox__bodypart::file) {
    ox__httpupld_close(body->upld_last);
  } else if (part == ox__bodypart::field) {
    const char *val =
        body->field_val != nullptr ? ox_str_content(body->field_val) : "";
    if (ox_strmap_add(&body->fields, body->field_name, val) != 0) {
      return body_fail(body, 500, ENOMEM);
    }
  }
  return 0;
}

constexpr ox__formsink body_sink_ops = {body_part_begin, body_part_data,
                                        body_part_end, nullptr};

void body_keep_payload(ox_httpbody *body, const char *data,
                       size_t size) noexcept {
  body->held += size;
  if (body->payload == nullptr) body->payload = ox_str_new();
  if (body->payload == nullptr ||
      ox_str_write(body->payload, data, size) != 0) {
    body_fail(body, 500, ENOMEM);
  }
}

// Hands a piece to the program's callback.  A refusal is final: the rest
// of the body is worth nothing to the program, however large it is.
bool body_pass_to_sink(ox_httpbody *body, const char *data,
                       size_t size) noexcept {
  int rc = body->sink_cb(body->sink_cls, body->sink_req, data, size);
  if (rc == 0) return true;
  body_fail(body, rc == E2BIG ? 413 : rc == EBADMSG ? 400 : 500, rc);
  return false;
}

}  // namespace

int ox__httpbody_sink(ox_httpbody *body, ox_httpreq *req, ox_httpbody_cb cb,
                      void *cls, ox_free_cb free_cb) noexcept {
  if (body->sink_cb != nullptr || body->srv != nullptr) return EALREADY;
  body->sink_cb = cb;
  body->sink_cls = cls;
  body->sink_free = free_cb;
  body->sink_req = req;
  return 0;
}

unsigned int ox__httpbody_begin(ox_httpbody *body, const ox_httpsrv *srv,
                                const char *content_type,
                                uint64_t length) noexcept {
  body->srv = srv;
  if (body->sink_cb != nullptr) {
    // Held nowhere, like the files of a form: the upload limit bounds it.
    body->allowed = srv->uplds_limit;
    return length != UINT64_MAX && length > body->allowed ? 413 : 0;
  }
  ox__formkind kind = ox__httpform_kind(content_type);
  body->multipart = kind == ox__formkind::multipart;
  // Files go to disk; everything else of the body is held in memory.
  body->allowed = body->multipart ? body_sum(srv->payld_limit, srv->uplds_limit)
                                  : srv->payld_limit;
  if (length != UINT64_MAX && length > body->allowed) return 413;
  if (kind == ox__formkind::none || length == 0) return 0;
  ox__formsink sink = body_sink_ops;
  sink.cls = body;
  int rc = ox__httpform_new(content_type, &sink, &body->form);
  if (rc == ENOMEM) return 500;
  // A multipart body that cannot be split would otherwise vanish.
  return rc != 0 && body->multipart ? 400 : 0;
}

bool ox__httpbody_feed(ox_httpbody *body, const char *data,
                       size_t size) noexcept {
  body->received += size;
  if (body->received > body->allowed) {
    body_over_limit(body);
    return body->received - body->allowed <= body_drain_slack;
  }
  if (body->status != 0) return true;
  if (body->sink_cb != nullptr) return body_pass_to_sink(body, data, size);
  if (!body->multipart) body_keep_payload(body, data, size);
  if (body->form != nullptr && body->status == 0) {
    int rc = ox__httpform_feed(body->form, data, size);
    if (rc != 0) body_fail(body, rc == EBADMSG ? 400 : 500, rc);
  }
  return true;
}

unsigned int ox__httpbody_finish(ox_httpbody *body) noexcept {
  if (body->form != nullptr) {
    if (body->status == 0) {
      int rc = ox__httpform_finish(body->form);
      if (rc != 0) body_fail(body, rc == EBADMSG ? 400 : 500, rc);
    }
    ox__httpform_free(body->form);
    body->form = nullptr;
  }
  // A part cut off by the end of the body leaves its file open.
  ox__httpuplds_close(body->uplds);
  body->field_name = nullptr;
  return body->status;
}

void ox__httpbody_free(ox_httpbody *body) noexcept {
  if (body->form != nullptr) ox__httpform_free(body->form);
  if (body->payload != nullptr) ox_str_free(body->payload);
  if (body->fields != nullptr) ox_strmap_cleanup(&body->fields);
  if (body->field_val != nullptr) ox_str_free(body->field_val);
  if (body->uplds != nullptr) ox__httpuplds_free(body->uplds);
  if (body->sink_free != nullptr) body->sink_free(body->sink_cls);
  *body = ox_httpbody{};
}
