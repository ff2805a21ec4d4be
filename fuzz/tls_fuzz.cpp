// The TLS bytes a client chooses before any certificate is involved: the
// body of its ClientHello, read for the newest version it offers (a client
// offering nothing newer than TLS 1.1 is sent an alert), and the server
// names that may key an SNI pair.  The version read is 0, the legacy
// version, or a version that the input holds as two adjacent bytes and
// that is no reserved (GREASE) value; a name accepted is a DNS name.
//
// Input: a ClientHello body, as GnuTLS hands it to the handshake hook;
// the same bytes, up to a NUL, as a host name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "input.h"
#include "ox_httptls.h"

namespace {

bool holds_pair(const uint8_t *data, size_t size, unsigned int v) {
  for (size_t i = 0; i + 1 < size; i++) {
    if ((data[i] << 8 | data[i + 1]) == static_cast<int>(v)) return true;
  }
  return false;
}

void check_version(const uint8_t *data, size_t size) {
  unsigned int v = ox__httptls_offered_version(data, size);
  if (size < 35) {
    OXF_CHECK(v == 0);
    return;
  }
  unsigned int legacy = data[0] << 8 | data[1];
  OXF_CHECK(v <= 0xffff);
  if (v != legacy && v != 0) {
    OXF_CHECK(holds_pair(data + 35, size - 35, v));
    OXF_CHECK((v & 0x0f0f) != 0x0a0a);
  }
}

void check_host(const uint8_t *data, size_t size) {
  std::string host(reinterpret_cast<const char *>(data),
                   strnlen(reinterpret_cast<const char *>(data), size));
  if (!ox__httptls_host_ok(host.c_str())) return;
  std::string name = host.compare(0, 2, "*.") == 0 ? host.substr(2) : host;
  OXF_CHECK(!name.empty() && name.size() <= 253);
  OXF_CHECK(name.front() != '.' && name.back() != '.');
  OXF_CHECK(name.find("..") == std::string::npos);
  OXF_CHECK(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789.-_") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  check_version(data, size);
  check_host(data, size);
  return 0;
}
