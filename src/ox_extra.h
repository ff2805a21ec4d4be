// Deflate helpers and the adapters between string maps and libmicrohttpd.
#ifndef OX_EXTRA_H
#define OX_EXTRA_H

#include <microhttpd.h>
#include <zlib.h>

#include "ombrix.h"

// Chunk of output that ox__zdeflate() produces per deflate() call; the
// caller's scratch buffer holds this much.
constexpr unsigned ox__zchunk = 16384;

// libmicrohttpd key/value iterator: adds (key, val) to the map whose head is
// at |cls| (a NULL value is added as "").  Always goes on.
MHD_Result ox__convals_iter(void *cls, enum MHD_ValueKind kind,
                            const char *key, const char *val) noexcept;

// String-map iterator: adds the pair as a header of the MHD_Response at
// |cls|.  Always goes on, so one refused header does not hide the others.
int ox__strmap_iter(void *cls, ox_strmap *header) noexcept;

// zlib allocation hooks over the library's allocator (blocks not zeroed;
// ox_free() releases them).
voidpf ox__zalloc(voidpf opaque, unsigned int items, unsigned int size) noexcept;
void ox__zfree(voidpf opaque, voidpf ptr) noexcept;

// The one deflate core every compressor of the library shares.  Readies
// |stream| for deflate at |level| with |window_bits| (-15: raw, 15 + 16:
// gzip) and |mem_level|, its memory from the library's allocator.  Returns
// zlib's result.
int ox__zinit(z_stream *stream, int level, int window_bits,
              int mem_level) noexcept;

// Compresses the |src_size| bytes at |src| whole into |dest|, which holds
// |*dest_size| bytes; on return |*dest_size| is the number written.
// Returns 0, or zlib's code (Z_BUF_ERROR: |dest| is too small).
int ox__zonce(const Bytef *src, uLong src_size, Bytef *dest,
              uLongf *dest_size, int level, int window_bits,
              int mem_level) noexcept;

// Raw-deflates (no zlib header or trailer, memory level 9) the |src_size|
// bytes at |src| into |dest|, which holds |*dest_size| bytes; on return
// |*dest_size| is the number of bytes written.  Returns 0, or a zlib code
// (Z_BUF_ERROR when |dest| is too small, Z_STREAM_ERROR for a bad level).
int ox__zcompress(Bytef *src, uLong src_size, Bytef *dest, uLongf *dest_size,
                  int level) noexcept;

// Deflates one piece of a stream that |stream| (initialised for deflate by
// the caller) carries on, through the 16384-byte scratch |zbuf|.  The output
// comes back in a new block |*dest| of |*dest_size| bytes (ox_free it).
// Returns 0, ENOMEM, or a negative zlib code; on failure |*dest| is NULL.
// A piece with nothing to do (no input, no stronger flush) gives 0 and no
// bytes: zlib's Z_BUF_ERROR there is no failure.
int ox__zdeflate(z_stream *stream, Bytef *zbuf, int flush, Bytef *src,
                 uInt src_size, Bytef **dest, z_size_t *dest_size) noexcept;

#endif  // OX_EXTRA_H
