// Raw inflate (window bits -15) for checking deflate bodies.
#ifndef OX_TEST_INFLATE_H
#define OX_TEST_INFLATE_H

#include <optional>
#include <string>

namespace oxtest {

// The inflated bytes of |in|, or nullopt unless |in| is one whole raw
// deflate stream (no zlib header or trailer) ending exactly at its end.
std::optional<std::string> raw_inflate(const std::string &in);

}  // namespace oxtest

#endif  // OX_TEST_INFLATE_H
