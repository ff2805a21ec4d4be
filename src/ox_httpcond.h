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

// Parses an IMF-fixdate; false for anything else (the obsolete RFC 850 and
// asctime forms included), which callers then ignore.
bool ox__httpdate_parse(const char *text, time_t *out) noexcept;

// True when the If-None-Match |list| ("*", or entity tags separated by
// commas) names |etag| or its gzip form, by weak comparison (W/ ignored).
bool ox__etag_list_matches(const char *list, const char *etag) noexcept;

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

// What a request for a file asks, header by header (each NULL if absent).
struct ox__cond_request {
  bool get_or_head;  // validators and ranges apply to GET and HEAD only
  bool head;         // ranges apply to GET only
  const char *if_none_match;
  const char *if_modified_since;
  const char *range;
  const char *if_range;
};

enum class ox__cond : uint8_t { full, not_modified, partial, unsatisfiable };

// Applies HTTP's order: If-None-Match (weak comparison; then
// If-Modified-Since is ignored), else If-Modified-Since, then Range under
// If-Range (a strong ETag match or the exact Last-Modified date).
// |range| receives the range for partial.
ox__cond ox__cond_evaluate(const ox__cond_request &req,
                           const ox__validators &v, ox__range *range) noexcept;

#endif  // OX_HTTPCOND_H
