// Conditional and range requests on a file: its validators (ETag and
// Last-Modified), HTTP dates, entity-tag lists and single byte ranges, and
// the order in which HTTP applies them.  Pure functions over header texts:
// they allocate nothing and take any bytes a client sends.
#ifndef OX_HTTPCOND_H
#define OX_HTTPCOND_H

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

// A file's validators as they go out in its reply headers.
struct ox__validators {
  uint64_t size;           // bytes in the file
  time_t mtime;            // modification time, whole seconds
  char etag[48];           // "\"<size hex>-<mtime ns hex>\""
  char last_modified[32];  // IMF-fixdate of |mtime|
};

// Fills |v| from the file's status.
void ox__validators_of(const struct stat &st, ox__validators *v) noexcept;

// The ETag of the gzip-coded representation: |etag| with "-gz" inside its
// quotes, so caches never take one coding for the other.  |out| holds 52.
void ox__etag_gzip(const char *etag, char *out) noexcept;

// Formats |t| as an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") into
// |out|, which holds 30 bytes.
void ox__httpdate_format(time_t t, char *out) noexcept;

// Parses an HTTP date in any of the three forms a recipient must accept
// (RFC 9110 §5.6.7): IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850
// "Sunday, 06-Nov-94 08:49:37 GMT" and asctime "Sun Nov  6 08:49:37 1994".
// Names are case-sensitive, the day of the week is not checked against the
// date, the day must exist in its month, second 60 is taken as a leap
// second, and OWS may surround the text.  A two-digit year is read in the
// century of |now|, unless that puts the date more than 50 years after
// |now|: then it is the year a century earlier.  Years outside 0000-9999
// are refused, so that ox__httpdate_format() can write any result back.
// Returns false, leaving |out| alone, for anything else; callers then
// ignore the header.
bool ox__httpdate_parse_at(const char *text, time_t now, time_t *out) noexcept;

// ox__httpdate_parse_at() with the current time as |now|.
bool ox__httpdate_parse(const char *text, time_t *out) noexcept;

// How two entity tags compare (RFC 9110 §8.8.3.2).
enum class ox__etag_cmp : uint8_t {
  weak,    // W/ ignored on either side: If-None-Match
  strong,  // neither weak and the same octets: If-Match, If-Range
};

// True when the list of entity tags |list| names |etag| by |cmp|, or when
// |list| is "*" (the file exists, so "*" always matches).  The list may
// hold empty elements and OWS around its commas (RFC 9110 §5.6.1.2), as it
// does when several header lines were joined with commas.  A list
// malformed anywhere (junk after a matching tag, a byte inside quotes that
// RFC 9110 §8.8.3 does not allow), and a list with no tag, match nothing.
// |etag| is that of the representation the reply would carry, nothing
// else: the identity and gzip variants have different tags.
bool ox__etag_list_matches(const char *list, const char *etag,
                           ox__etag_cmp cmp) noexcept;

// A byte range of a file, both ends included.
struct ox__range {
  uint64_t first;
  uint64_t last;
};

enum class ox__range_kind : uint8_t {
  none,           // no usable Range: answer with the whole file
  partial,        // one satisfiable range, in the out parameter
  unsatisfiable,  // a valid range that starts past the end: 416
};

// Reads the Range header |text| for a file of |size| bytes.  Only one range
// of unit "bytes" is served; several ranges, another unit or bad syntax
// give none, as HTTP allows.  Numbers too large to hold saturate.
ox__range_kind ox__range_parse(const char *text, uint64_t size,
                               ox__range *out) noexcept;

// What a request for a file asks, header by header (each NULL if absent),
// in the order they are evaluated.
struct ox__cond_request {
  bool get_or_head;  // validators and ranges apply to GET and HEAD only
  bool head;         // ranges apply to GET only
  const char *if_match;
  const char *if_unmodified_since;
  const char *if_none_match;
  const char *if_modified_since;
  const char *range;
  const char *if_range;
};

enum class ox__cond : uint8_t {
  full,                 // 200 with the whole representation
  not_modified,         // 304
  partial,              // 206 with the range
  unsatisfiable,        // 416
  precondition_failed,  // 412
};

// Applies the order of RFC 9110 §13.2.2 to a GET or HEAD of an existing
// file (any other method: full, untouched by the headers):
//  1. If-Match present: unless it names |etag| (strong comparison) or is
//     "*", precondition_failed.  A malformed If-Match names nothing.
//  2. Else If-Unmodified-Since, when it is a valid date: precondition_failed
//     when the file was modified after it.
//  3. If-None-Match present: not_modified when it names |etag| (weak
//     comparison) or is "*"; If-Modified-Since is then not looked at.
//  4. Else If-Modified-Since, when it is a valid date: not_modified unless
//     the file was modified after it.
//  5. GET with a Range: partial or unsatisfiable, unless If-Range is there
//     and neither names the identity tag |v.etag| (strong comparison:
//     ranges are always of the identity bytes) nor is exactly the
//     Last-Modified date.
// |etag| is the tag of the representation a full reply would carry: |v.etag|
// for the identity bytes, its ox__etag_gzip() form when they go gzipped.
// |range| receives the range for partial.
ox__cond ox__cond_evaluate(const ox__cond_request &req, const ox__validators &v,
                           const char *etag, ox__range *range) noexcept;

#endif  // OX_HTTPCOND_H
