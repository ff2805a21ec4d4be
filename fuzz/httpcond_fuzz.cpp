// Static-file request headers: Range, If-None-Match, If-Modified-Since,
// If-Range, Accept-Encoding, If-Match and If-Unmodified-Since as a client
// may write them, and request paths as the directory server splits them.
// A range that is served lies inside the file and only a GET gets one; a
// date that parses formats back to the same instant; the tag of the
// variant that would be sent always revalidates, the other variant's never
// does; a 412 needs If-Match or If-Unmodified-Since and a 304 a validator
// header; a path that is accepted has no way up and no hidden component.
//
// Input: the file size (32 bits), then seven texts (a length byte and the
// bytes, cut at NUL): Range, If-None-Match, If-Modified-Since, If-Range,
// Accept-Encoding, If-Match, If-Unmodified-Since, each absent when empty;
// the rest of the input is a request path.
#include <sys/stat.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "input.h"
#include "ox_httpcond.h"
#include "ox_httpdir.h"
#include "ox_httpenc.h"

namespace {

// The texts in input order.
enum header_index {
  h_range,
  h_if_none_match,
  h_if_modified_since,
  h_if_range,
  h_accept_encoding,
  h_if_match,
  h_if_unmodified_since,
  h_count,
};

// IMF-fixdate has four digits for the year: the last second it can write.
constexpr time_t last_writable = 253402300799;  // 9999-12-31 23:59:59

void check_range(const std::string &text, uint64_t size) {
  ox__range r{1, 0};
  ox__range_kind kind = ox__range_parse(text.c_str(), size, &r);
  if (kind == ox__range_kind::partial) {
    OXF_CHECK(r.first <= r.last && r.last < size);
  }
}

// The text after the day name of each form |t| may be written in, with
// the second as |sec| (60 for a leap second).
bool date_written_as(const std::string &rest, time_t t, int sec) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr",
                                       "May", "Jun", "Jul", "Aug",
                                       "Sep", "Oct", "Nov", "Dec"};
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr) return false;
  int year = tm.tm_year + 1900;
  const char *month = months[tm.tm_mon];
  char forms[4][48];
  snprintf(forms[0], sizeof(forms[0]), ", %02d %s %04d %02d:%02d:%02d GMT",
           tm.tm_mday, month, year, tm.tm_hour, tm.tm_min, sec);
  snprintf(forms[1], sizeof(forms[1]), ", %02d-%s-%02d %02d:%02d:%02d GMT",
           tm.tm_mday, month, year % 100, tm.tm_hour, tm.tm_min, sec);
  snprintf(forms[2], sizeof(forms[2]), " %s %2d %02d:%02d:%02d %04d", month,
           tm.tm_mday, tm.tm_hour, tm.tm_min, sec, year);
  snprintf(forms[3], sizeof(forms[3]), " %s %02d %02d:%02d:%02d %04d", month,
           tm.tm_mday, tm.tm_hour, tm.tm_min, sec, year);
  for (const char *form : forms) {
    if (rest == form) return true;
  }
  return false;
}

// |now| decides only the century of an RFC 850 year.  Whatever the form,
// the fields as written are those of the instant (so none was out of
// range), and the instant formats to an IMF-fixdate that parses back to it.
void check_date(const std::string &text, time_t now) {
  time_t t;
  if (!ox__httpdate_parse_at(text.c_str(), now, &t)) return;
  OXF_CHECK(t <= last_writable);
  size_t first = text.find_first_not_of(" \t");
  size_t last = text.find_last_not_of(" \t");
  std::string trimmed = text.substr(first, last + 1 - first);
  std::string rest = trimmed.substr(trimmed.find_first_of(", "));
  OXF_CHECK(date_written_as(rest, t, static_cast<int>(t % 60 + 60) % 60) ||
            date_written_as(rest, t - 1, 60));
  char again[30];
  ox__httpdate_format(t, again);
  time_t t2;
  OXF_CHECK(ox__httpdate_parse_at(again, now, &t2) && t2 == t);
}

const char *header(const std::string &text) {
  return text.empty() ? nullptr : text.c_str();
}

void check_outcome(const ox__cond_request &req, int method, ox__cond cond,
                   const ox__range &r, uint64_t size) {
  bool get_or_head = method != 2;
  switch (cond) {
    case ox__cond::partial:
      OXF_CHECK(method == 0 && r.first <= r.last && r.last < size);
      break;
    case ox__cond::unsatisfiable:
      OXF_CHECK(method == 0 && req.range != nullptr);
      break;
    case ox__cond::precondition_failed:
      OXF_CHECK(get_or_head && (req.if_match != nullptr ||
                                req.if_unmodified_since != nullptr));
      break;
    case ox__cond::not_modified:
      OXF_CHECK(get_or_head && (req.if_none_match != nullptr ||
                                req.if_modified_since != nullptr));
      break;
    case ox__cond::full:
      break;
  }
}

void check_conditions(const ox__validators &v, const std::string *h,
                      uint64_t size) {
  char gz[sizeof(v.etag) + 4];
  ox__etag_gzip(v.etag, gz);
  bool gzip = ox__accept_gzip(h[h_accept_encoding].c_str());
  const char *selected = gzip ? gz : v.etag;
  const char *other = gzip ? v.etag : gz;
  const std::string weak = "W/" + std::string(selected);
  const std::string list = " ,, " + std::string(selected) + "\t,";
  for (int method = 0; method < 3; method++) {
    ox__cond_request req{method != 2,
                         method == 1,
                         header(h[h_if_match]),
                         header(h[h_if_unmodified_since]),
                         header(h[h_if_none_match]),
                         header(h[h_if_modified_since]),
                         header(h[h_range]),
                         header(h[h_if_range])};
    ox__range r{1, 0};
    ox__cond cond = ox__cond_evaluate(req, v, selected, &r);
    check_outcome(req, method, cond, r, size);
    if (method == 2) {
      OXF_CHECK(cond == ox__cond::full);
      continue;
    }
    // Our selected tag, in If-Match too (which then hides
    // If-Unmodified-Since), revalidates whatever else the request says.
    req.if_match = selected;
    for (const char *ours : {selected, weak.c_str(), list.c_str()}) {
      req.if_none_match = ours;
      OXF_CHECK(ox__cond_evaluate(req, v, selected, &r) ==
                ox__cond::not_modified);
    }
    // The tag of the variant that would not be sent never does, and fails
    // an If-Match.
    req.if_match = other;
    OXF_CHECK(ox__cond_evaluate(req, v, selected, &r) ==
              ox__cond::precondition_failed);
    req.if_none_match = other;
    req.if_modified_since = nullptr;
    req.if_match = nullptr;
    req.if_unmodified_since = nullptr;
    OXF_CHECK(ox__cond_evaluate(req, v, selected, &r) !=
              ox__cond::not_modified);
  }
}

void check_path(const std::string &path) {
  char rel[PATH_MAX];
  if (!ox__httpdir_relative(path.c_str(), rel)) return;
  std::string r = rel;
  OXF_CHECK(!r.empty() && r[0] != '/' && r.size() < PATH_MAX);
  if (r == ".") return;
  size_t start = 0;
  for (;;) {
    size_t end = r.find('/', start);
    std::string part = r.substr(start, end - start);
    OXF_CHECK(!part.empty() && part[0] != '.');
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  uint64_t file_size = in.u32();
  std::string headers[h_count];
  for (std::string &h : headers) h = in.text();
  std::string path = in.bytes(size);
  path.resize(strlen(path.c_str()));

  struct stat st{};
  st.st_size = static_cast<off_t>(file_size);
  st.st_mtim.tv_sec = static_cast<time_t>(file_size * 7919);
  ox__validators v;
  ox__validators_of(st, &v);

  // Our own Last-Modified reads back as the file's time.
  time_t lm;
  if (v.mtime <= last_writable) {
    OXF_CHECK(ox__httpdate_parse(v.last_modified, &lm) && lm == v.mtime);
  }
  check_range(headers[h_range], file_size);
  for (int i : {h_if_modified_since, h_if_range, h_if_unmodified_since}) {
    check_date(headers[i], time(nullptr));
    check_date(headers[i], v.mtime);
  }
  check_conditions(v, headers, file_size);
  check_path(path);
  return 0;
}
