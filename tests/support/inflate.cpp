#include "support/inflate.h"

#include <zlib.h>

namespace oxtest {

std::optional<std::string> raw_inflate(const std::string &in) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return std::nullopt;
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  std::string out;
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buf[16384];
    zs.next_out = reinterpret_cast<Bytef *>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
    // A truncated stream: all input taken, room left, no end reached.
    if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;
  }
  bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  if (!whole) return std::nullopt;
  return out;
}

}  // namespace oxtest
