// Content codings: reading Accept-Encoding, and gzip for bodies held in
// memory and for bodies produced piece by piece (files and streams).
#ifndef OX_HTTPENC_H
#define OX_HTTPENC_H

#include <microhttpd.h>

#include <cstddef>
#include <cstdint>

#include "ombrix.h"

// Bodies shorter than this are sent as they are: the gzip header and
// trailer (18 bytes) and a deflate block would eat what little they save.
constexpr uint64_t ox__gzip_min_size = 256;

// True when the Accept-Encoding value |accept| (NULL: absent) lets us send
// gzip: "gzip" (or "x-gzip") with a q-value above 0, or "*" above 0 without
// gzip named, and identity not preferred over it.  Malformed elements are
// skipped.  Allocates nothing.
bool ox__accept_gzip(const char *accept) noexcept;

// A reply whose body is the |size| bytes at |buf| gzipped at |level|
// (1..9), or NULL when memory runs out; |*gz_size| becomes its length.
MHD_Response *ox__gzip_buffer(const void *buf, size_t size, int level,
                              uint64_t *gz_size) noexcept;

// A chunked reply whose body is what |read_cb| produces, gzipped at |level|.
// With |flush_each| every piece read is flushed (Z_SYNC_FLUSH), so a client
// can decode what was produced so far at once (event streams); without,
// zlib chooses its blocks, as for a file, which compresses better and
// faster.  On success the reply owns |handle| (|free_cb| receives it when
// the reply is done with); NULL when memory runs out, and then the caller
// still owns |handle|.  |produced| (may be NULL) counts the gzip bytes
// handed out, for the access log; it must outlive the reply's sending.
MHD_Response *ox__gzip_stream(ox_read_cb read_cb, void *handle,
                              ox_free_cb free_cb, int level, bool flush_each,
                              uint64_t *produced) noexcept;

#endif  // OX_HTTPENC_H
