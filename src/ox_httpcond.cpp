// Conditional and range requests: every parser here reads bytes a client
// chose, so each one walks its text once, bounds every number and treats
// anything it does not understand as absent.
#include "ox_httpcond.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *cond_days[] = {"Sun", "Mon", "Tue", "Wed",
                                     "Thu", "Fri", "Sat"};
constexpr const char *cond_months[] = {"Jan", "Feb", "Mar", "Apr",
                                       "May", "Jun", "Jul", "Aug",
                                       "Sep", "Oct", "Nov", "Dec"};

bool cond_ows(char c) noexcept { return c == ' ' || c == '\t'; }

const char *cond_skip_ows(const char *p) noexcept {
  while (cond_ows(*p)) p++;
  return p;
}

bool cond_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Days from 1970-01-01 to the civil date (proleptic Gregorian); Howard
// Hinnant's algorithm, valid for every year we accept.
int64_t cond_days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  auto yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Reads exactly |n| digits at |*p|.
bool cond_fixed_number(const char **p, int n, unsigned *out) noexcept {
  unsigned v = 0;
  for (int i = 0; i < n; i++) {
    if (!cond_digit((*p)[i])) return false;
    v = v * 10 + static_cast<unsigned>((*p)[i] - '0');
  }
  *p += n;
  *out = v;
  return true;
}

bool cond_expect(const char **p, const char *text) noexcept {
  size_t n = strlen(text);
  if (strncmp(*p, text, n) != 0) return false;
  *p += n;
  return true;
}

// Reads digits into a saturating 64-bit number; false when there are none.
bool cond_number(const char **p, uint64_t *out) noexcept {
  if (!cond_digit(**p)) return false;
  uint64_t v = 0;
  for (; cond_digit(**p); (*p)++) {
    auto digit = static_cast<uint64_t>(**p - '0');
    v = v > (UINT64_MAX - digit) / 10 ? UINT64_MAX : v * 10 + digit;
  }
  *out = v;
  return true;
}

// Compares the entity tag of |len| bytes at |tag| with |etag| and, when
// |gzip_too|, with its gzip form.
bool cond_tag_equal(const char *tag, size_t len, const char *etag,
                    bool gzip_too) noexcept {
  size_t n = strlen(etag);
  if (len == n && memcmp(tag, etag, n) == 0) return true;
  // The gzip form: the tag without its closing quote, "-gz", the quote.
  return gzip_too && len == n + 3 && memcmp(tag, etag, n - 1) == 0 &&
         memcmp(tag + n - 1, "-gz\"", 4) == 0;
}

// The length of the quoted entity tag at |p| (quotes included), or 0 when
// none starts there.
size_t cond_quoted_length(const char *p) noexcept {
  if (*p != '"') return 0;
  const char *end = strchr(p + 1, '"');
  return end != nullptr ? static_cast<size_t>(end - p + 1) : 0;
}

bool cond_range_applies(const ox__cond_request &req,
                        const ox__validators &v) noexcept {
  if (req.if_range == nullptr) return true;
  const char *p = cond_skip_ows(req.if_range);
  // A weak tag never matches for a range: the bytes must be identical.
  if (*p == '"') {
    size_t len = cond_quoted_length(p);
    return len != 0 && *cond_skip_ows(p + len) == '\0' &&
           cond_tag_equal(p, len, v.etag, false);
  }
  time_t date;
  return ox__httpdate_parse(p, &date) && date == v.mtime;
}

}  // namespace

void ox__httpdate_format(time_t t, char *out) noexcept {
  struct tm tm;
  gmtime_r(&t, &tm);
  snprintf(out, 30, "%s, %02d %s %04d %02d:%02d:%02d GMT",
           cond_days[tm.tm_wday % 7], tm.tm_mday, cond_months[tm.tm_mon % 12],
           (tm.tm_year + 1900) % 10000, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool ox__httpdate_parse(const char *text, time_t *out) noexcept {
  const char *p = cond_skip_ows(text);
  bool day_known = false;
  for (const char *day : cond_days) day_known |= strncmp(p, day, 3) == 0;
  if (!day_known) return false;
  p += 3;
  unsigned mday, year, hour, min, sec, month = 0;
  if (!cond_expect(&p, ", ") || !cond_fixed_number(&p, 2, &mday) ||
      !cond_expect(&p, " ")) {
    return false;
  }
  while (month < 12 && strncmp(p, cond_months[month], 3) != 0) month++;
  if (month == 12) return false;
  p += 3;
  if (!cond_expect(&p, " ") || !cond_fixed_number(&p, 4, &year) ||
      !cond_expect(&p, " ") || !cond_fixed_number(&p, 2, &hour) ||
      !cond_expect(&p, ":") || !cond_fixed_number(&p, 2, &min) ||
      !cond_expect(&p, ":") || !cond_fixed_number(&p, 2, &sec) ||
      !cond_expect(&p, " GMT") || *cond_skip_ows(p) != '\0') {
    return false;
  }
  if (mday < 1 || mday > 31 || hour > 23 || min > 59 || sec > 60) return false;
  int64_t days = cond_days_from_civil(year, month + 1, mday);
  *out = static_cast<time_t>(days * 86400 + hour * 3600 + min * 60 + sec);
  return true;
}

void ox__validators_of(const struct stat &st, ox__validators *v) noexcept {
  v->size = static_cast<uint64_t>(st.st_size);
  v->mtime = st.st_mtim.tv_sec;
  uint64_t ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(st.st_mtim.tv_nsec);
  snprintf(v->etag, sizeof(v->etag), "\"%" PRIx64 "-%" PRIx64 "\"", v->size,
           ns);
  ox__httpdate_format(v->mtime, v->last_modified);
}

void ox__etag_gzip(const char *etag, char *out) noexcept {
  size_t n = strlen(etag);
  memcpy(out, etag, n - 1);
  memcpy(out + n - 1, "-gz\"", 5);
}

bool ox__etag_list_matches(const char *list, const char *etag) noexcept {
  const char *p = cond_skip_ows(list);
  if (*p == '*' && *cond_skip_ows(p + 1) == '\0') return true;
  while (*p != '\0') {
    p = cond_skip_ows(p);
    if (strncmp(p, "W/", 2) == 0) p += 2;
    size_t len = cond_quoted_length(p);
    if (len == 0) return false;  // a malformed list matches nothing
    if (cond_tag_equal(p, len, etag, true)) return true;
    p = cond_skip_ows(p + len);
    if (*p == ',') {
      p++;
    } else if (*p != '\0') {
      return false;
    }
  }
  return false;
}

ox__range_kind ox__range_parse(const char *text, uint64_t size,
                               ox__range *out) noexcept {
  const char *p = cond_skip_ows(text);
  if (strncasecmp(p, "bytes=", 6) != 0) return ox__range_kind::none;
  p = cond_skip_ows(p + 6);
  uint64_t first = 0, last = UINT64_MAX;
  bool suffix = *p == '-';
  if (suffix) {
    p++;
    if (!cond_number(&p, &last)) return ox__range_kind::none;
  } else {
    if (!cond_number(&p, &first) || *p++ != '-') return ox__range_kind::none;
    if (cond_digit(*p)) cond_number(&p, &last);
  }
  // Several ranges (a comma) or trailing bytes: served whole.
  if (*cond_skip_ows(p) != '\0') return ox__range_kind::none;
  if (suffix) {
    if (last == 0 || size == 0) return ox__range_kind::unsatisfiable;
    out->first = last >= size ? 0 : size - last;
    out->last = size - 1;
    return ox__range_kind::partial;
  }
  if (last < first) return ox__range_kind::none;
  if (first >= size) return ox__range_kind::unsatisfiable;
  out->first = first;
  out->last = last >= size ? size - 1 : last;
  return ox__range_kind::partial;
}

ox__cond ox__cond_evaluate(const ox__cond_request &req,
                           const ox__validators &v, ox__range *range) noexcept {
  if (!req.get_or_head) return ox__cond::full;
  if (req.if_none_match != nullptr) {
    if (ox__etag_list_matches(req.if_none_match, v.etag)) {
      return ox__cond::not_modified;
    }
  } else if (req.if_modified_since != nullptr) {
    time_t since;
    if (ox__httpdate_parse(req.if_modified_since, &since) &&
        v.mtime <= since) {
      return ox__cond::not_modified;
    }
  }
  if (req.head || req.range == nullptr || !cond_range_applies(req, v)) {
    return ox__cond::full;
  }
  switch (ox__range_parse(req.range, v.size, range)) {
    case ox__range_kind::partial: return ox__cond::partial;
    case ox__range_kind::unsatisfiable: return ox__cond::unsatisfiable;
    default: return ox__cond::full;
  }
}
