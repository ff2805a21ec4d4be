// Content codings: reading Accept-Encoding, and gzip for bodies held in
// memory and for bodies produced piece by piece (files and streams).
#ifndef OX_HTTPENC_H
#define OX_HTTPENC_H

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

// Plain bytes a gzip stream takes from its producer at a time.  Large
// pieces keep the rounds between deflate and the socket few: with 16 KiB,
// gzipping a file cost a tenth more CPU than with 64 KiB.
constexpr size_t ox__gzip_piece = 64 * 1024;

// Gzips the |size| bytes at |buf| at |level| (1..9) into a new block
// |*out| (malloc; free() it) of |*out_size| bytes.  Returns 0 or ENOMEM.
int ox__gzip_bytes(const void *buf, size_t size, int level, char **out,
                   size_t *out_size) noexcept;

// A gzip stream over a producer of plain bytes: ox__gzip_read() gives its
// output in libmicrohttpd's reader shape.  With |flush_each| every piece
// read is flushed (Z_SYNC_FLUSH), so a client can decode what was produced
// so far at once (event streams); without, zlib chooses its blocks, as for
// a file, which compresses better and faster.  The stream owns |handle|
// once made (|free_cb| receives it from ox__gzip_free()); NULL when memory
// runs out, and then the caller still owns |handle|.
void *ox__gzip_new(ox_read_cb read_cb, void *handle, ox_free_cb free_cb,
                   int level, bool flush_each) noexcept;
ssize_t ox__gzip_read(void *gz, uint64_t pos, char *buf, size_t max) noexcept;
void ox__gzip_free(void *gz) noexcept;

#endif  // OX_HTTPENC_H
