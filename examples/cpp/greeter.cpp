// greeter (C++): the smallest server, one HTML page for every request.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ombrix.hpp"

namespace {

constexpr char kHelloPage[] =
    "<html><head><title>Hello world</title></head>"
    "<body>Hello world</body></html>";

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  // Not a number gives 0 (a port of the system's choice); above 65535 wraps.
  auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));
  try {
    ombrix::server srv;
    // No route: the fallback answers every request, whatever its method.
    srv.fallback([](ombrix::request &, ombrix::response &res) {
      res.send(kHelloPage, "text/html; charset=utf-8");
    });
    srv.listen(port);  // the library tells standard error why it cannot
    std::printf("Server running at http://localhost:%d\n", srv.port());
    std::fflush(stdout);
    std::getchar();  // any character, or the end of input, stops the server
  } catch (const ombrix::error &) {
    return 1;
  }
  return 0;
}
