// Raw deflate helpers: the bytes of the input compressed whole by
// ox__zcompress(), into room enough and into too little room, and in
// pieces by ox__zdeflate() with the flush modes a streamed reply uses.
// zlib's raw inflate must give back exactly those bytes; after a sync or
// full flush, exactly the bytes handed in so far.
//
// Input: a level byte, a settings byte (memory level, strategy), then
// pieces: a control byte (flush mode; the top bit makes it the last piece,
// finished there), a 16-bit little-endian length and that many bytes.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "ombrix.h"
#include "ox_extra.h"

namespace {

Bytef *bytes_of(std::string &s) { return reinterpret_cast<Bytef *>(s.data()); }

// A raw inflater fed the compressed stream as it is produced.
class Inflater {
 public:
  Inflater() { OXF_CHECK(inflateInit2(&zs_, -15) == Z_OK); }
  ~Inflater() { inflateEnd(&zs_); }
  Inflater(const Inflater &) = delete;
  Inflater &operator=(const Inflater &) = delete;

  // Inflates all of |in| that zlib takes; the stream's end must not come
  // before the input's.
  void feed(std::string in) {
    zs_.next_in = bytes_of(in);
    zs_.avail_in = static_cast<uInt>(in.size());
    // Each round takes input or makes output, so in.size() + the output
    // bound is a generous cap on rounds.
    for (size_t round = 0; round <= in.size() + 64; round++) {
      Bytef buf[4096];
      zs_.next_out = buf;
      zs_.avail_out = sizeof buf;
      int rc = inflate(&zs_, Z_SYNC_FLUSH);
      out_.append(reinterpret_cast<char *>(buf), sizeof buf - zs_.avail_out);
      OXF_CHECK(rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR);
      if (rc == Z_STREAM_END) {
        ended_ = true;
        OXF_CHECK(zs_.avail_in == 0);  // nothing after the end
        return;
      }
      if (zs_.avail_in == 0 && zs_.avail_out != 0) return;
    }
    OXF_CHECK(!"inflate made no progress");
  }

  const std::string &out() const { return out_; }
  bool ended() const { return ended_; }

 private:
  z_stream zs_{};
  std::string out_;
  bool ended_ = false;
};

std::string raw_inflate(const std::string &z) {
  Inflater inf;
  inf.feed(z);
  OXF_CHECK(inf.ended());
  return inf.out();
}

struct Piece {
  int flush;
  std::string data;
};

// The whole input through ox__zcompress(): with room enough it must
// inflate back; with less it is Z_BUF_ERROR and a prefix of the stream.
void check_whole(std::string data, int level, uint16_t short_room) {
  uLongf room = compressBound(data.size());
  std::string z(room, '\0');
  int rc =
      ox__zcompress(bytes_of(data), data.size(), bytes_of(z), &room, level);
  OXF_CHECK(rc == 0);
  z.resize(room);
  OXF_CHECK(raw_inflate(z) == data);

  uLongf cut = short_room % (z.size() + 1);
  std::string prefix(cut, '\0');
  rc =
      ox__zcompress(bytes_of(data), data.size(), bytes_of(prefix), &cut, level);
  OXF_CHECK(cut <= prefix.size());
  prefix.resize(cut);
  OXF_CHECK(prefix == z.substr(0, cut));
  // Room of exactly the stream's size may still be Z_BUF_ERROR, as with
  // zlib's compress(): the end is only reported to a call with room left.
  if (rc == 0) OXF_CHECK(prefix.size() == z.size());
  if (rc != 0) OXF_CHECK(rc == Z_BUF_ERROR);
}

// The pieces through ox__zdeflate() on one stream, as a streamed reply
// deflates what it is given.
void check_pieces(const std::vector<Piece> &pieces, int level, int mem_level,
                  int strategy) {
  z_stream zs{};
  zs.zalloc = ox__zalloc;
  zs.zfree = ox__zfree;
  OXF_CHECK(deflateInit2(&zs, level, Z_DEFLATED, -15, mem_level, strategy) ==
            Z_OK);
  Inflater inf;
  std::string sent;
  std::vector<Bytef> zbuf(ox__zchunk);
  for (const Piece &p : pieces) {
    std::string src = p.data;
    Bytef *dest = nullptr;
    z_size_t dest_size = 0;
    int rc = ox__zdeflate(&zs, zbuf.data(), p.flush, bytes_of(src),
                          static_cast<uInt>(src.size()), &dest, &dest_size);
    if (rc != 0) fprintf(stderr, "ox__zdeflate gave %d\n", rc);
    OXF_CHECK(rc == 0);
    OXF_CHECK(zs.avail_in == 0);  // every byte handed in was taken
    sent += p.data;
    if (dest_size != 0) {
      inf.feed(std::string(reinterpret_cast<char *>(dest), dest_size));
    }
    ox_free(dest);
    if (p.flush != Z_NO_FLUSH) OXF_CHECK(inf.out() == sent);
  }
  OXF_CHECK(inf.ended());
  deflateEnd(&zs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED,
                                   Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  static const int flushes[] = {Z_NO_FLUSH, Z_NO_FLUSH, Z_SYNC_FLUSH,
                                Z_FULL_FLUSH};
  oxfuzz::Input in(data, size);
  int level = in.byte() % 11 - 1;  // -1 is zlib's default
  uint8_t settings = in.byte();
  int mem_level = settings % 9 + 1;
  int strategy = strategies[(settings >> 4) % 5];
  uint16_t short_room = in.u16();

  std::vector<Piece> pieces;
  std::string whole;
  bool finished = false;
  while (!in.empty() && !finished) {
    uint8_t control = in.byte();
    finished = (control & 0x80) != 0;
    std::string bytes = in.bytes(in.u16());
    whole += bytes;
    pieces.push_back({finished ? Z_FINISH : flushes[control % 4], bytes});
  }
  if (!finished) pieces.push_back({Z_FINISH, {}});

  check_whole(whole, level, short_room);
  check_pieces(pieces, level, mem_level, strategy);
  return 0;
}
