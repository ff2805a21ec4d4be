// The access log: the record each request leaves, its accessors, and a
// writer of the Common Log Format.  Nothing here runs unless the program
// set a log callback.
#include "ox_httplog.h"

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
  const char *user = ox_httplog_user(rec);
  const char *peer = ox_httplog_peer(rec);
  // The line's end: status and body bytes, "-" for none (as CLF has it).
  char tail[48], status[16] = "-", bytes[24] = "-";
  if (unsigned int s = ox_httplog_status(rec); s != 0) {
    snprintf(status, sizeof status, "%u", s);
  }
  if (rec->bytes != 0) {
    snprintf(bytes, sizeof bytes, "%llu",
             static_cast<unsigned long long>(rec->bytes));
  }
  snprintf(tail, sizeof tail, "\" %s %s\n", status, bytes);
  // One lock for the line, so that serving threads never interleave.
  flockfile(out);
  fputs_unlocked(peer != nullptr ? peer : "-", out);
  fputs_unlocked(" - ", out);
  if (user != nullptr && *user != '\0') {
    clf_put_escaped(out, user, true);
  } else {
    fputc_unlocked('-', out);
  }
  fputc_unlocked(' ', out);
  fputs_unlocked(clf_date(rec->time), out);
  fputs_unlocked(" \"", out);
  // The request line as the client sent it, query included (the path the
  // callbacks see is decoded and without it).
  clf_put_escaped(out, rec->req->method);
  fputc_unlocked(' ', out);
  const char *target = rec->req->target;
  clf_put_escaped(out, target != nullptr ? target : rec->req->path);
  fputc_unlocked(' ', out);
  clf_put_escaped(out, rec->req->version != nullptr ? rec->req->version : "-");
  fputs_unlocked(tail, out);
  funlockfile(out);
}
