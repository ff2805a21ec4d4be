// Content codings.  gzip is zlib's deflate with a gzip wrapper (window bits
// 15 + 16); the zlib state is allocated through the library's allocator.
#include "ox_httpenc.h"

#include <microhttpd.h>
#include <strings.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>

#include "ox_alloc.h"
#include "ox_extra.h"

namespace {

constexpr int gzip_window_bits = 15 + 16;
constexpr int gzip_mem_level = 8;
constexpr size_t gzip_piece = ox__gzip_piece;

bool enc_ows(char c) noexcept { return c == ' ' || c == '\t'; }

// Reads a q-value ("0", "0.5", "1", "1.000") as thousandths; -1 when
// malformed.
int enc_qvalue(const char *p, size_t len) noexcept {
  if (len == 0 || (p[0] != '0' && p[0] != '1')) return -1;
  int q = (p[0] - '0') * 1000;
  if (len == 1) return q;
  if (p[1] != '.' || len > 5) return -1;
  int scale = 100;
  for (size_t i = 2; i < len; i++, scale /= 10) {
    if (p[i] < '0' || p[i] > '9') return -1;
    q += (p[i] - '0') * scale;
  }
  return q <= 1000 ? q : -1;
}

// The q-value of one list element's parameters (";q=0.5"), 1000 when none
// is given, -1 when malformed.
int enc_element_q(const char *params, const char *end) noexcept {
  int q = 1000;
  const char *p = params;
  while (p < end) {
    if (*p != ';') return -1;
    p++;
    while (p < end && enc_ows(*p)) p++;
    const char *name = p;
    while (p < end && *p != '=' && *p != ';' && !enc_ows(*p)) p++;
    bool is_q = p - name == 1 && (*name == 'q' || *name == 'Q');
    if (p >= end || *p != '=') return -1;
    const char *value = ++p;
    while (p < end && *p != ';' && !enc_ows(*p)) p++;
    if (is_q) q = enc_qvalue(value, static_cast<size_t>(p - value));
    if (q < 0) return -1;
    while (p < end && enc_ows(*p)) p++;
  }
  return q;
}

bool enc_name_is(const char *name, size_t len, const char *want) noexcept {
  return strlen(want) == len && strncasecmp(name, want, len) == 0;
}

// A gzip stream over a producer of plain bytes.  deflate writes straight
// into libmicrohttpd's buffer, so no compressed byte is copied.
struct gzip_stream {
  z_stream zs;
  ox_read_cb read_cb;
  void *handle;
  ox_free_cb free_cb;
  uint64_t read_pos;    // plain bytes taken from |read_cb| so far
  int flush;            // the flush of the piece in progress
  int piece_flush;      // Z_SYNC_FLUSH or Z_NO_FLUSH, for every piece
  bool more;            // deflate filled the buffer: the piece is not done
  bool finished;        // the gzip trailer is out of deflate
  Bytef in[gzip_piece];
};

// Takes the next piece from the producer: 1 when there is one (or the end,
// which becomes Z_FINISH), 0 when the producer has nothing yet, or
// libmicrohttpd's error code.
ssize_t gzip_next_piece(gzip_stream *gz) noexcept {
  ssize_t n = gz->read_cb(gz->handle, gz->read_pos,
                          reinterpret_cast<char *>(gz->in), gzip_piece);
  if (n == MHD_CONTENT_READER_END_OF_STREAM) {
    gz->zs.avail_in = 0;
    gz->flush = Z_FINISH;
    return 1;
  }
  if (n <= 0 || static_cast<size_t>(n) > gzip_piece) {
    return n == 0 ? 0 : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  gz->read_pos += static_cast<uint64_t>(n);
  gz->zs.next_in = gz->in;
  gz->zs.avail_in = static_cast<uInt>(n);
  gz->flush = gz->piece_flush;
  return 1;
}

}  // namespace

ssize_t ox__gzip_read(void *cls, uint64_t pos, char *buf,
                      size_t max) noexcept {
  (void)pos;
  auto *gz = static_cast<gzip_stream *>(cls);
  if (max > UINT_MAX) max = UINT_MAX;
  for (;;) {
    if (gz->finished) return MHD_CONTENT_READER_END_OF_STREAM;
    // A new piece once the last one is consumed and wholly flushed.
    if (!gz->more && gz->zs.avail_in == 0 && gz->flush != Z_FINISH) {
      ssize_t got = gzip_next_piece(gz);
      if (got <= 0) return got;  // nothing yet (asked again later), or error
    }
    gz->zs.next_out = reinterpret_cast<Bytef *>(buf);
    gz->zs.avail_out = static_cast<uInt>(max);
    int rc = deflate(&gz->zs, gz->flush);
    if (rc < 0 && rc != Z_BUF_ERROR) return MHD_CONTENT_READER_END_WITH_ERROR;
    gz->finished = rc == Z_STREAM_END;
    gz->more = gz->zs.avail_out == 0;
    size_t produced = max - gz->zs.avail_out;
    // Nothing out yet (zlib keeps input until a block fills): next piece.
    if (produced != 0) return static_cast<ssize_t>(produced);
  }
}

void ox__gzip_free(void *cls) noexcept {
  auto *gz = static_cast<gzip_stream *>(cls);
  deflateEnd(&gz->zs);
  if (gz->free_cb != nullptr) gz->free_cb(gz->handle);
  ox_free(gz);
}

bool ox__accept_gzip(const char *accept) noexcept {
  if (accept == nullptr) return false;
  int gzip_q = -1, star_q = -1, identity_q = -1;
  const char *p = accept;
  while (*p != '\0') {
    while (enc_ows(*p) || *p == ',') p++;
    const char *name = p;
    while (*p != '\0' && *p != ',' && *p != ';' && !enc_ows(*p)) p++;
    size_t len = static_cast<size_t>(p - name);
    while (enc_ows(*p)) p++;
    const char *params = p;
    while (*p != '\0' && *p != ',') p++;
    const char *end = p;
    while (end > params && enc_ows(end[-1])) end--;
    if (len == 0) continue;
    int q = enc_element_q(params, end);
    if (q < 0) continue;
    if (enc_name_is(name, len, "gzip") || enc_name_is(name, len, "x-gzip")) {
      gzip_q = q;
    } else if (enc_name_is(name, len, "*")) {
      star_q = q;
    } else if (enc_name_is(name, len, "identity")) {
      identity_q = q;
    }
  }
  int q = gzip_q >= 0 ? gzip_q : star_q;
  return q > 0 && q >= identity_q;
}

int ox__gzip_bytes(const void *buf, size_t size, int level, char **out,
                   size_t *out_size) noexcept {
  // Room for anything deflate makes of |size| bytes, and the gzip wrapper.
  uLongf room = compressBound(size) + 18;
  auto *block = static_cast<Bytef *>(ox__std_malloc(room));
  if (block == nullptr) return ENOMEM;
  if (ox__zonce(static_cast<const Bytef *>(buf), size, block, &room, level,
                gzip_window_bits, gzip_mem_level) != 0) {
    free(block);
    return ENOMEM;
  }
  *out = reinterpret_cast<char *>(block);
  *out_size = room;
  return 0;
}

void *ox__gzip_new(ox_read_cb read_cb, void *handle, ox_free_cb free_cb,
                   int level, bool flush_each) noexcept {
  auto *gz = static_cast<gzip_stream *>(ox_alloc(sizeof(gzip_stream)));
  if (gz == nullptr) return nullptr;
  if (ox__zinit(&gz->zs, level, gzip_window_bits, gzip_mem_level) != Z_OK) {
    ox_free(gz);
    return nullptr;
  }
  gz->read_cb = read_cb;
  gz->handle = handle;
  gz->free_cb = free_cb;
  gz->piece_flush = flush_each ? Z_SYNC_FLUSH : Z_NO_FLUSH;
  return gz;
}
