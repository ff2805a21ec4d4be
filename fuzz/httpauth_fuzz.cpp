// Basic credentials: whatever the Authorization header holds, the decoder
// gives either nothing or a user without ':' and a password, neither with a
// control byte, which encode back to credentials that decode alike.
//
// Input: the header value as it comes.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "input.h"
#include "ombrix.h"
#include "ox_httpauth.h"

namespace {

std::string base64(const std::string &in) {
  static const char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t g = static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << 16;
    if (i + 1 < in.size())
      g |= static_cast<uint32_t>(static_cast<uint8_t>(in[i + 1])) << 8;
    if (i + 2 < in.size()) g |= static_cast<uint8_t>(in[i + 2]);
    out += digits[g >> 18 & 63];
    out += digits[g >> 12 & 63];
    out += i + 1 < in.size() ? digits[g >> 6 & 63] : '=';
    out += i + 2 < in.size() ? digits[g & 63] : '=';
  }
  return out;
}

bool clean(const char *s) {
  for (; *s != '\0'; s++) {
    auto c = static_cast<unsigned char>(*s);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string header(reinterpret_cast<const char *>(data), size);
  header.resize(strlen(header.c_str()));  // a header value ends at NUL
  char *usr = nullptr, *pwd = nullptr;
  int rc = ox__httpauth_parse_basic(header.c_str(), &usr, &pwd);
  OXF_CHECK(rc == 0 || rc == ENOENT || rc == EINVAL);
  OXF_CHECK((rc == 0) == (usr != nullptr) && (rc == 0) == (pwd != nullptr));
  if (rc == 0) {
    OXF_CHECK(strchr(usr, ':') == nullptr && clean(usr) && clean(pwd));
    std::string again = "Basic " + base64(std::string(usr) + ":" + pwd);
    char *usr2 = nullptr, *pwd2 = nullptr;
    OXF_CHECK(ox__httpauth_parse_basic(again.c_str(), &usr2, &pwd2) == 0);
    OXF_CHECK(strcmp(usr, usr2) == 0 && strcmp(pwd, pwd2) == 0);
    ox_free(usr2);
    ox_free(pwd2);
  }
  ox_free(usr);
  ox_free(pwd);
  ox__httpauth_parse_basic(nullptr, &usr, &pwd);
  OXF_CHECK(usr == nullptr && pwd == nullptr);
  return 0;
}
