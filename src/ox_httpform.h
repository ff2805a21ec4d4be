// Streaming parsers of the two form encodings browsers send,
// application/x-www-form-urlencoded and multipart/form-data.  A parser
// holds at most one name (or one part's header block) and hands every other
// byte on as it arrives, so a body of any size costs bounded memory here.
#ifndef OX_HTTPFORM_H
#define OX_HTTPFORM_H

#include <cstddef>

// Where a parser reports the parts of a body: for each part |begin|, then
// |data| any number of times, then |end|.  A non-zero result stops the
// parser, and every later feed returns that result.
struct ox__formsink {
  // |name| is the field name (NUL-terminated; a NUL the client encoded ends
  // it early), valid until |end|.  |filename| is NULL for a plain field and
  // the client's file name (possibly "") for a file; |mime| is the part's
  // Content-Type or NULL.  Both are valid during the call only.
  int (*begin)(void *cls, const char *name, const char *filename,
               const char *mime) noexcept;
  // Decoded bytes of the part's value.
  int (*data)(void *cls, const char *data, size_t size) noexcept;
  int (*end)(void *cls) noexcept;
  void *cls;
};

enum class ox__formkind { none, urlencoded, multipart };

// The form encoding a Content-Type names; NULL is none.
ox__formkind ox__httpform_kind(const char *content_type) noexcept;

struct ox_httpform;

// Makes a parser for a body of |content_type| reporting to |sink| (copied).
// Returns 0 and the parser in |*out|, or: EINVAL  not a form type, or a
// multipart type without a usable boundary; ENOMEM.
int ox__httpform_new(const char *content_type, const ox__formsink *sink,
                     ox_httpform **out) noexcept;

// Parses the next |size| bytes.  Returns 0, EBADMSG when the body is not
// well formed, ENOMEM, or the sink's non-zero result; after a failure every
// later call returns the same code.
int ox__httpform_feed(ox_httpform *form, const char *data,
                      size_t size) noexcept;

// Ends the body.  Returns 0, or EBADMSG when a multipart body stopped
// before its closing delimiter, or the result of a failed feed.  A
// url-encoded body's last pair is reported here.
int ox__httpform_finish(ox_httpform *form) noexcept;

// Releases the parser.  NULL does nothing.
void ox__httpform_free(ox_httpform *form) noexcept;

#endif  // OX_HTTPFORM_H
