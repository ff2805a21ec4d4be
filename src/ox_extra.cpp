// Raw-deflate helpers, zlib allocator hooks, string-map/libmicrohttpd
// adapters and the stream end codes.
#include "ox_extra.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "ox_alloc.h"

namespace {

// Raw deflate: negative window bits drop the zlib header and trailer.
constexpr int zwindow_bits = -15;
constexpr int zmem_level = 9;
constexpr uInt zmax = UINT_MAX;  // the most zlib takes in one step

}  // namespace

MHD_Result ox__convals_iter(void *cls, enum MHD_ValueKind kind,
                            const char *key, const char *val) noexcept {
  (void)kind;
  // "?flag" has no value; keep it as an empty one rather than lose it.
  ox_strmap_add(static_cast<ox_strmap **>(cls), key, val != nullptr ? val : "");
  return MHD_YES;
}

int ox__strmap_iter(void *cls, ox_strmap *header) noexcept {
  MHD_add_response_header(static_cast<MHD_Response *>(cls),
                          ox_strmap_name(header), ox_strmap_val(header));
  return 0;
}

ssize_t ox_eor(bool err) noexcept {
  return err ? MHD_CONTENT_READER_END_WITH_ERROR
             : MHD_CONTENT_READER_END_OF_STREAM;
}

voidpf ox__zalloc(voidpf opaque, unsigned int items,
                  unsigned int size) noexcept {
  (void)opaque;
  // Not zero-filled: zlib writes its state before reading it, and clearing
  // the ~270 KiB of a deflate stream cost more than compressing a small
  // reply.  ox_free() releases it like any block.
  return ox__std_malloc(static_cast<size_t>(items) * size);
}

void ox__zfree(voidpf opaque, voidpf ptr) noexcept {
  (void)opaque;
  ox_free(ptr);
}

int ox__zinit(z_stream *stream, int level, int window_bits,
              int mem_level) noexcept {
  *stream = z_stream{};
  stream->zalloc = ox__zalloc;
  stream->zfree = ox__zfree;
  stream->opaque = nullptr;
  return deflateInit2(stream, level, Z_DEFLATED, window_bits, mem_level,
                      Z_DEFAULT_STRATEGY);
}

int ox__zonce(const Bytef *src, uLong src_size, Bytef *dest,
              uLongf *dest_size, int level, int window_bits,
              int mem_level) noexcept {
  uLong left = *dest_size;
  *dest_size = 0;
  z_stream stream;
  int rc = ox__zinit(&stream, level, window_bits, mem_level);
  if (rc != Z_OK) return rc;
  stream.next_out = dest;
  stream.avail_out = 0;
  stream.next_in = const_cast<Bytef *>(src);
  stream.avail_in = 0;
  // zlib takes at most UINT_MAX bytes a step, in and out.
  do {
    if (stream.avail_out == 0) {
      stream.avail_out = static_cast<uInt>(std::min<uLong>(left, zmax));
      left -= stream.avail_out;
    }
    if (stream.avail_in == 0) {
      stream.avail_in = static_cast<uInt>(std::min<uLong>(src_size, zmax));
      src_size -= stream.avail_in;
    }
    rc = deflate(&stream, src_size != 0 ? Z_NO_FLUSH : Z_FINISH);
  } while (rc == Z_OK);
  *dest_size = stream.total_out;
  deflateEnd(&stream);
  return rc == Z_STREAM_END ? 0 : rc;
}

int ox__zcompress(Bytef *src, uLong src_size, Bytef *dest, uLongf *dest_size,
                  int level) noexcept {
  return ox__zonce(src, src_size, dest, dest_size, level, zwindow_bits,
                   zmem_level);
}

int ox__zdeflate(z_stream *stream, Bytef *zbuf, int flush, Bytef *src,
                 uInt src_size, Bytef **dest, z_size_t *dest_size) noexcept {
  stream->avail_in = src_size;
  stream->next_in = src;
  *dest = nullptr;
  *dest_size = 0;
  do {
    stream->avail_out = ox__zchunk;
    stream->next_out = zbuf;
    int rc = deflate(stream, flush);
    // Z_BUF_ERROR only says that no progress was possible (an empty piece,
    // or output that filled the scratch exactly on the last pass): the
    // stream is intact and this piece is done, not failed.
    if (rc < 0 && rc != Z_BUF_ERROR) {
      ox_free(*dest);
      *dest = nullptr;
      return rc;
    }
    size_t have = ox__zchunk - stream->avail_out;
    *dest_size += have;
    auto *grown = static_cast<Bytef *>(ox_realloc(*dest, *dest_size));
    if (grown == nullptr) {
      // ox_realloc leaves the old block alone on failure: release it here.
      ox_free(*dest);
      *dest = nullptr;
      return ENOMEM;
    }
    *dest = grown;
    memcpy(*dest + *dest_size - have, zbuf, have);
  } while (stream->avail_out == 0);
  return 0;
}
