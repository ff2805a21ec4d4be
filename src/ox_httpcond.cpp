// Conditional and range requests: every parser here reads bytes a client
// chose, so each one walks its text once, bounds every number and treats
// anything it does not understand as absent.
#include "ox_httpcond.h"

#include <strings.h>

#include <cinttypes>
#include <compare>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *cond_days[] = {"Sun", "Mon", "Tue", "Wed",
                                     "Thu", "Fri", "Sat"};
// The RFC 850 form spells the day out.
constexpr const char *cond_weekdays[] = {"Sunday",    "Monday",   "Tuesday",
                                         "Wednesday", "Thursday", "Friday",
                                         "Saturday"};
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
bool cond_fixed_number(const char **p, int n, int64_t *out) noexcept {
  int64_t v = 0;
  for (int i = 0; i < n; i++) {
    if (!cond_digit((*p)[i])) return false;
    v = v * 10 + ((*p)[i] - '0');
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

// Reads one of the |count| |names| at |*p|: its index, or -1.  No name is
// the start of another, so the first that matches is the one.
int cond_name(const char **p, const char *const *names, int count) noexcept {
  for (int i = 0; i < count; i++) {
    if (cond_expect(p, names[i])) return i;
  }
  return -1;
}

// An HTTP date's fields as written, before they become an instant.  The
// members go from the largest unit down, so that the defaulted comparison
// orders dates in time.
struct cond_date {
  int64_t year;
  int64_t month;  // 1 to 12
  int64_t mday;
  int64_t hour;
  int64_t min;
  int64_t sec;

  auto operator<=>(const cond_date &) const noexcept = default;
};

bool cond_date_month(const char **p, cond_date *d) noexcept {
  d->month = cond_name(p, cond_months, 12) + 1;
  return d->month != 0;
}

// "08:49:37".
bool cond_date_time(const char **p, cond_date *d) noexcept {
  return cond_fixed_number(p, 2, &d->hour) && cond_expect(p, ":") &&
         cond_fixed_number(p, 2, &d->min) && cond_expect(p, ":") &&
         cond_fixed_number(p, 2, &d->sec);
}

// IMF-fixdate after "Sun, ": "06 Nov 1994 08:49:37 GMT".
bool cond_date_imf(const char **p, cond_date *d) noexcept {
  return cond_fixed_number(p, 2, &d->mday) && cond_expect(p, " ") &&
         cond_date_month(p, d) && cond_expect(p, " ") &&
         cond_fixed_number(p, 4, &d->year) && cond_expect(p, " ") &&
         cond_date_time(p, d) && cond_expect(p, " GMT");
}

// RFC 850 after "Sunday, ": "06-Nov-94 08:49:37 GMT", the year still of two
// digits.
bool cond_date_rfc850(const char **p, cond_date *d) noexcept {
  return cond_fixed_number(p, 2, &d->mday) && cond_expect(p, "-") &&
         cond_date_month(p, d) && cond_expect(p, "-") &&
         cond_fixed_number(p, 2, &d->year) && cond_expect(p, " ") &&
         cond_date_time(p, d) && cond_expect(p, " GMT");
}

// asctime after "Sun ": "Nov  6 08:49:37 1994", where a day of one digit
// is padded with a space (or written with a zero).
bool cond_date_asctime(const char **p, cond_date *d) noexcept {
  if (!cond_date_month(p, d) || !cond_expect(p, " ")) return false;
  bool padded = **p == ' ';
  if (padded) ++*p;
  return cond_fixed_number(p, padded ? 1 : 2, &d->mday) &&
         cond_expect(p, " ") && cond_date_time(p, d) && cond_expect(p, " ") &&
         cond_fixed_number(p, 4, &d->year);
}

// The civil date of a day count from 1970-01-01: the inverse of
// cond_days_from_civil(), by the same author.
void cond_civil_from_days(int64_t z, cond_date *d) noexcept {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  auto doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d->mday = doy - (153 * mp + 2) / 5 + 1;
  d->month = mp < 10 ? mp + 3 : mp - 9;
  d->year = static_cast<int64_t>(yoe) + era * 400 + (d->month <= 2);
}

// Breaks |now| down without gmtime_r(), which takes glibc's time zone lock
// and may load the zone files on its first call.
cond_date cond_date_of(time_t now) noexcept {
  int64_t days = now / 86400, secs = now % 86400;
  if (secs < 0) {
    secs += 86400;
    days--;
  }
  cond_date d{};
  cond_civil_from_days(days, &d);
  d.hour = secs / 3600;
  d.min = secs / 60 % 60;
  d.sec = secs % 60;
  return d;
}

// Gives a two-digit year its century (RFC 9110 §5.6.7): that of |now|,
// or the one before when the date would otherwise lie more than 50 years
// after |now|.  False when the year leaves 0000-9999.
bool cond_date_century(time_t now, cond_date *d) noexcept {
  cond_date limit = cond_date_of(now);
  d->year += limit.year - (limit.year % 100 + 100) % 100;
  limit.year += 50;
  if (*d > limit) d->year -= 100;
  return d->year >= 0 && d->year <= 9999;
}

int64_t cond_month_days(int64_t year, int64_t month) noexcept {
  static constexpr int64_t days[] = {31, 28, 31, 30, 31, 30,
                                     31, 31, 30, 31, 30, 31};
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// The fields name a moment that exists (a leap second included).
bool cond_date_valid(const cond_date &d) noexcept {
  return d.mday >= 1 && d.mday <= cond_month_days(d.year, d.month) &&
         d.hour <= 23 && d.min <= 59 && d.sec <= 60;
}

// Reads the date at |*p| in whichever of the three forms it is; the day
// name tells them apart: spelled out for RFC 850, then a comma for
// IMF-fixdate or a space for asctime.
bool cond_date_read(const char **p, time_t now, cond_date *d) noexcept {
  if (cond_name(p, cond_weekdays, 7) >= 0) {
    return cond_expect(p, ", ") && cond_date_rfc850(p, d) &&
           cond_date_century(now, d);
  }
  if (cond_name(p, cond_days, 7) < 0) return false;
  if (cond_expect(p, ", ")) return cond_date_imf(p, d);
  return cond_expect(p, " ") && cond_date_asctime(p, d);
}

// An entity tag as written: its opaque part (quotes included) and whether
// it is marked weak.
struct cond_tag {
  const char *opaque;
  size_t len;
  bool weak;
};

// The bytes allowed inside an entity tag's quotes (RFC 9110 §8.8.3):
// visible ASCII but the quote, and obs-text.
bool cond_etagc(char c) noexcept {
  auto u = static_cast<unsigned char>(c);
  return u == 0x21 || (u >= 0x23 && u != 0x7f);
}

// Reads the entity tag at |*p| and moves past it; false, with |*p| left
// alone, when none starts there.
bool cond_tag_read(const char **p, cond_tag *tag) noexcept {
  const char *s = *p;
  bool weak = strncmp(s, "W/", 2) == 0;
  if (weak) s += 2;
  if (*s != '"') return false;
  const char *end = s + 1;
  while (cond_etagc(*end)) end++;
  if (*end != '"') return false;
  *tag = {s, static_cast<size_t>(end + 1 - s), weak};
  *p = end + 1;
  return true;
}

// |text| is one entity tag and nothing else.
bool cond_tag_whole(const char *text, cond_tag *tag) noexcept {
  return cond_tag_read(&text, tag) && *text == '\0';
}

bool cond_tag_equal(const cond_tag &a, const cond_tag &b,
                    ox__etag_cmp cmp) noexcept {
  if (cmp == ox__etag_cmp::strong && (a.weak || b.weak)) return false;
  return a.len == b.len && memcmp(a.opaque, b.opaque, a.len) == 0;
}

bool cond_range_applies(const ox__cond_request &req,
                        const ox__validators &v) noexcept {
  if (req.if_range == nullptr) return true;
  const char *p = cond_skip_ows(req.if_range);
  // Strong comparison with the identity tag: a range is of those bytes,
  // and a weak tag never matches, since the bytes must be identical.
  cond_tag tag, ours;
  if (cond_tag_read(&p, &tag)) {
    return *cond_skip_ows(p) == '\0' && cond_tag_whole(v.etag, &ours) &&
           cond_tag_equal(tag, ours, ox__etag_cmp::strong);
  }
  time_t date;
  return ox__httpdate_parse(p, &date) && date == v.mtime;
}

// Steps 1 and 2 of RFC 9110 §13.2.2: If-Unmodified-Since counts only
// without If-Match, and only when it is a date.
bool cond_preconditions_hold(const ox__cond_request &req,
                             const ox__validators &v,
                             const char *etag) noexcept {
  if (req.if_match != nullptr) {
    return ox__etag_list_matches(req.if_match, etag, ox__etag_cmp::strong);
  }
  time_t since;
  return req.if_unmodified_since == nullptr ||
         !ox__httpdate_parse(req.if_unmodified_since, &since) ||
         v.mtime <= since;
}

// Steps 3 and 4: If-Modified-Since counts only without If-None-Match.
bool cond_not_modified(const ox__cond_request &req, const ox__validators &v,
                       const char *etag) noexcept {
  if (req.if_none_match != nullptr) {
    return ox__etag_list_matches(req.if_none_match, etag, ox__etag_cmp::weak);
  }
  time_t since;
  return req.if_modified_since != nullptr &&
         ox__httpdate_parse(req.if_modified_since, &since) && v.mtime <= since;
}

}  // namespace

void ox__httpdate_format(time_t t, char *out) noexcept {
  struct tm tm;
  gmtime_r(&t, &tm);
  snprintf(out, 30, "%s, %02d %s %04d %02d:%02d:%02d GMT",
           cond_days[tm.tm_wday % 7], tm.tm_mday, cond_months[tm.tm_mon % 12],
           (tm.tm_year + 1900) % 10000, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool ox__httpdate_parse_at(const char *text, time_t now, time_t *out) noexcept {
  const char *p = cond_skip_ows(text);
  cond_date d{};
  if (!cond_date_read(&p, now, &d) || *cond_skip_ows(p) != '\0' ||
      !cond_date_valid(d)) {
    return false;
  }
  int64_t days = cond_days_from_civil(d.year, static_cast<unsigned>(d.month),
                                      static_cast<unsigned>(d.mday));
  *out = static_cast<time_t>(days * 86400 + d.hour * 3600 + d.min * 60 + d.sec);
  return true;
}

bool ox__httpdate_parse(const char *text, time_t *out) noexcept {
  return ox__httpdate_parse_at(text, time(nullptr), out);
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

bool ox__etag_list_matches(const char *list, const char *etag,
                           ox__etag_cmp cmp) noexcept {
  cond_tag ours;
  if (!cond_tag_whole(etag, &ours)) return false;
  const char *p = cond_skip_ows(list);
  if (*p == '*') return *cond_skip_ows(p + 1) == '\0';
  // The walk goes on past a match: a list malformed anywhere matches
  // nothing, so junk after our tag cannot pass an If-Match.
  bool matched = false;
  for (;;) {
    // Empty elements, from joined header lines, are skipped.
    while (*p == ',') p = cond_skip_ows(p + 1);
    if (*p == '\0') return matched;
    cond_tag tag;
    if (!cond_tag_read(&p, &tag)) return false;
    matched |= cond_tag_equal(tag, ours, cmp);
    p = cond_skip_ows(p);
    if (*p != ',' && *p != '\0') return false;
  }
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

ox__cond ox__cond_evaluate(const ox__cond_request &req, const ox__validators &v,
                           const char *etag, ox__range *range) noexcept {
  if (!req.get_or_head) return ox__cond::full;
  if (!cond_preconditions_hold(req, v, etag)) {
    return ox__cond::precondition_failed;
  }
  if (cond_not_modified(req, v, etag)) return ox__cond::not_modified;
  if (req.head || req.range == nullptr || !cond_range_applies(req, v)) {
    return ox__cond::full;
  }
  switch (ox__range_parse(req.range, v.size, range)) {
    case ox__range_kind::partial: return ox__cond::partial;
    case ox__range_kind::unsatisfiable: return ox__cond::unsatisfiable;
    default: return ox__cond::full;
  }
}
