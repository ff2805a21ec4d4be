// The access log: the record each request leaves, its accessors, and
// writers of the Common and Combined Log Formats.  Nothing here runs unless
// the program set a log callback, and the record copies nothing up front:
// the headers a callback asks for are read from the connection, which
// libmicrohttpd keeps whole until the completion notice returns.
#include "ox_httplog.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_httpauth.h"
#include "ox_httpconn.h"
#include "ox_httpreq.h"
#include "ox_httpsrv.h"

namespace {

// Writes |text| with the bytes that could forge or break a log line
// (controls, quotes, backslashes, non-ASCII) as \xHH; in a field outside
// quotes (|bare|) spaces and brackets too, which would split the field or
// start the date's.  The caller holds the stream's lock.
void clf_put_escaped(FILE *out, const char *text, bool bare = false) noexcept {
  static const char hex[] = "0123456789ABCDEF";
  const char *run = text;
  for (const char *p = text; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    bool plain = c > 0x20 && c < 0x7f && c != '"' && c != '\\';
    if (bare ? plain && c != '[' && c != ']' : plain || c == ' ') continue;
    fwrite_unlocked(run, 1, static_cast<size_t>(p - run), out);
    char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
    fwrite_unlocked(esc, 1, sizeof esc, out);
    run = p + 1;
  }
  fputs_unlocked(run, out);
}

// "[08/Dec/2026:11:30:00 +0000]" for |t|, made once a second per thread:
// strftime is the dearest part of a line.
const char *clf_date(time_t t) noexcept {
  thread_local time_t cached_at = -1;
  thread_local char cached[32];
  if (t != cached_at) {
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(cached, sizeof cached, "[%d/%b/%Y:%H:%M:%S +0000]", &tm);
    cached_at = t;
  }
  return cached;
}

// The request target as the client sent it.  The head's first step sets
// it; the path stands in should a record ever be logged before that.
const char *log_target(const ox_httpreq *req) noexcept {
  return req->target != nullptr ? req->target : req->path;
}

// Writes ' "text"' with |text| escaped, or ' "-"' for none or an empty one.
void clf_put_quoted(FILE *out, const char *text) noexcept {
  fputs_unlocked(" \"", out);
  if (text != nullptr && *text != '\0') {
    clf_put_escaped(out, text);
  } else {
    fputc_unlocked('-', out);
  }
  fputc_unlocked('"', out);
}

// Writes |n| in decimal into |out|, which has room for its digits and a
// NUL: every line has two numbers, and snprintf() costs more than the rest
// of the line.
void clf_decimal(uint64_t n, char *out) noexcept {
  char digits[20];
  size_t len = 0;
  do {
    digits[len++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  for (size_t i = 0; i < len; i++) out[i] = digits[len - 1 - i];
  out[len] = '\0';
}

// A Common Log Format line of a record, its end left open for the fields
// a writer adds.  What allocates or formats (the user's decoding, the
// numbers) is done on construction, before the stream is locked.
class clf_line {
 public:
  explicit clf_line(ox_httplog *rec) noexcept
      : rec_(rec), user_(ox_httplog_user(rec)), peer_(ox_httplog_peer(rec)) {
    // Status and body bytes, "-" for none (as CLF has it).
    if (unsigned int s = ox_httplog_status(rec); s != 0) {
      clf_decimal(s, status_);
    }
    if (rec->bytes != 0) clf_decimal(rec->bytes, bytes_);
  }

  // Writes the line without its newline; the caller holds the lock.
  void put(FILE *out) const noexcept {
    const ox_httpreq *req = rec_->req;
    fputs_unlocked(peer_ != nullptr ? peer_ : "-", out);
    fputs_unlocked(" - ", out);
    if (user_ != nullptr && *user_ != '\0') {
      clf_put_escaped(out, user_, true);
    } else {
      fputc_unlocked('-', out);
    }
    fputc_unlocked(' ', out);
    fputs_unlocked(clf_date(rec_->time), out);
    fputs_unlocked(" \"", out);
    // The request line as the client sent it, query included (the path the
    // callbacks see is decoded and without it).
    clf_put_escaped(out, req->method);
    fputc_unlocked(' ', out);
    clf_put_escaped(out, log_target(req));
    fputc_unlocked(' ', out);
    clf_put_escaped(out, req->version != nullptr ? req->version : "-");
    fputs_unlocked("\" ", out);
    fputs_unlocked(status_, out);
    fputc_unlocked(' ', out);
    fputs_unlocked(bytes_, out);
  }

 private:
  ox_httplog *rec_;
  const char *user_;
  const char *peer_;
  char status_[16] = "-";
  char bytes_[24] = "-";
};

}  // namespace

void ox__httplog_emit(ox_httpreq *req, MHD_RequestTerminationCode toe,
                      int64_t end_us) noexcept {
  ox__errno_guard keep;
  ox_httpsrv *srv = req->srv;
  ox_httplog rec{};
  rec.req = req;
  rec.bytes = ox__httpres_body_bytes(
      &req->res, toe == MHD_REQUEST_TERMINATED_COMPLETED_OK);
  int64_t spent = end_us - req->start_us;
  rec.duration_us = spent > 0 ? static_cast<uint64_t>(spent) : 0;
  rec.time = time(nullptr) - static_cast<time_t>(rec.duration_us / 1000000);
  srv->log_cb(srv->log_cls, &rec);
  ox_free(rec.user);
}

const char *ox_httplog_method(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return rec->req->method;
}

const char *ox_httplog_path(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return rec->req->path;
}

const char *ox_httplog_target(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return log_target(rec->req);
}

const char *ox_httplog_header(ox_httplog *rec, const char *name) noexcept {
  if (rec == nullptr || name == nullptr) {
    return ox__einval<const char *>(nullptr);
  }
  const ox_httpreq *req = rec->req;
  // As in the request's header map, the host of an absolute-form target
  // stands for the Host field.
  if (req->authority != nullptr &&
      strcasecmp(name, MHD_HTTP_HEADER_HOST) == 0) {
    return req->authority;
  }
  return ox__httpres_request_header(&req->res, name);
}

const char *ox_httplog_id(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return rec->req->log_id;
}

const char *ox_httplog_version(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return rec->req->version;
}

unsigned int ox_httplog_status(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval(0u);
  return rec->req->res.sent_status;
}

uint64_t ox_httplog_bytes(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<uint64_t>(0);
  return rec->bytes;
}

uint64_t ox_httplog_duration(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<uint64_t>(0);
  return rec->duration_us;
}

time_t ox_httplog_time(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<time_t>(0);
  return rec->time;
}

const char *ox_httplog_peer(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  return ox_httpreq_peer(rec->req);
}

const char *ox_httplog_user(ox_httplog *rec) noexcept {
  if (rec == nullptr) return ox__einval<const char *>(nullptr);
  if (!rec->user_read) {
    rec->user_read = true;
    ox__errno_guard keep;
    const char *header = ox__httpres_request_header(
        &rec->req->res, MHD_HTTP_HEADER_AUTHORIZATION);
    char *pwd = nullptr;
    if (header != nullptr &&
        ox__httpauth_parse_basic(header, &rec->user, &pwd) == 0) {
      explicit_bzero(pwd, strlen(pwd));
      ox_free(pwd);
    }
  }
  return rec->user;
}

void ox_httplog_clf(void *cls, ox_httplog *rec) noexcept {
  auto *out = static_cast<FILE *>(cls);
  if (out == nullptr || rec == nullptr) return;
  ox__errno_guard keep;
  clf_line line(rec);
  // One lock for the line, so that serving threads never interleave.
  flockfile(out);
  line.put(out);
  fputc_unlocked('\n', out);
  funlockfile(out);
}

void ox_httplog_combined(void *cls, ox_httplog *rec) noexcept {
  auto *out = static_cast<FILE *>(cls);
  if (out == nullptr || rec == nullptr) return;
  ox__errno_guard keep;
  clf_line line(rec);
  const char *referer = ox_httplog_header(rec, MHD_HTTP_HEADER_REFERER);
  const char *agent = ox_httplog_header(rec, MHD_HTTP_HEADER_USER_AGENT);
  flockfile(out);
  line.put(out);
  clf_put_quoted(out, referer);
  clf_put_quoted(out, agent);
  if (rec->req->log_id != nullptr) clf_put_quoted(out, rec->req->log_id);
  fputc_unlocked('\n', out);
  funlockfile(out);
}
