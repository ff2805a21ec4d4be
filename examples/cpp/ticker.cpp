// ticker (C++): a counter pushed to the browser as a server-sent event
// stream.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.hpp"

namespace {

constexpr char kPage[] =
    "<html>\n<head>\n<title>SSE example</title>\n</head>"
    "<body><h2 id=\"counter\">Please wait ...</h2>\n<script>\n"
    "const es = new EventSource('/');\n"
    "es.onmessage = function (ev) {\n"
    "  document.getElementById('counter').innerText = "
    "'Counting: ' + ev.data;\n"
    "};\n</script>\n</body>\n</html>";

// Shared by every stream; readers run on their connections' threads.
std::atomic<uint32_t> count{0};

// One stream's reader.  An event the core could not take whole is handed
// out over the next calls, so no event is ever cut short.
struct sse_reader {
  char msg[20];     // the current event text
  size_t len = 0;   // its length
  size_t sent = 0;  // bytes of it already handed out
  bool started = false;

  ssize_t operator()(uint64_t, char *buf, size_t size) {
    if (sent == len) {
      int n;
      if (!started) {
        started = true;
        n = std::snprintf(msg, sizeof(msg), "retry: 1000\n");
      } else {
        uint32_t now = count.fetch_add(1) + 1;
        n = std::snprintf(msg, sizeof(msg), "data: %d\n\n",
                          static_cast<int>(now));
        sleep(1);
      }
      len = static_cast<size_t>(n);
      sent = 0;
    }
    size_t part = std::min(size, len - sent);
    std::memcpy(buf, msg + sent, part);
    sent += part;
    return static_cast<ssize_t>(part);
  }
};

void answer(ombrix::request &req, ombrix::response &res) {
  if (req.header("Accept").find("text/event-stream") !=
      std::string_view::npos) {
    res.set_header("Access-Control-Allow-Origin", "*");
    res.set_header("Content-Type", "text/event-stream");
    res.stream(sse_reader{});  // size 0: chunked, until the client goes away
    return;
  }
  if (req.path() == "/favicon.ico") {
    res.send("", "", 204);
    return;
  }
  res.send(kPage, "text/html; charset=utf-8");
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(std::strtol(argv[1], nullptr, 10));
  try {
    ombrix::server srv;
    srv.fallback(answer);
    // A connection per thread: a reader asleep stalls only its own stream.
    srv.listen(port, true);
    std::printf("Server running at http://localhost:%d\n", srv.port());
    std::fflush(stdout);
    std::getchar();
  } catch (const ombrix::error &) {
    return 1;
  }
  return 0;
}
