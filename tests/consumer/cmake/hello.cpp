// A C++17 program built against an installed libombrix: answers every
// request with a line that names the library's version.
#include <ombrix.h>

#include <cstdio>
#include <string>

// Linking ombrix::ombrix must leave the program's own standard alone.
static_assert(__cplusplus == 201703L, "the consumer is C++17");

namespace {

void hello(void *, ox_httpreq *, ox_httpres *res) noexcept {
  std::string text = std::string("hello from C++, libombrix ") + ox_version() + "\n";
  ox_httpres_sendbinary(res, text.data(), text.size(), "text/plain", 200);
}

}  // namespace

int main() {
  if (std::string(ox_version()) != OMBRIX_VERSION_STRING) return 2;
  ox_httpsrv *srv = ox_httpsrv_new(hello, nullptr);
  if (!ox_httpsrv_listen(srv, 0, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  std::printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  std::fflush(stdout);
  std::getchar();
  ox_httpsrv_free(srv);
  return 0;
}
