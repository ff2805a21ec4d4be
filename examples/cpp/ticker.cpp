// ticker (C++): a counter pushed to the browser as a server-sent event
// stream, pulled from a reader at / and pushed by a timer thread at /push.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "ombrix.hpp"

namespace {

// The page, around the path of its event stream.
constexpr char kPageHead[] =
    "<html>\n<head>\n<title>SSE example</title>\n</head>"
    "<body><h2 id=\"counter\">Please wait ...</h2>\n<script>\n"
    "const es = new EventSource('";
constexpr char kPageTail[] =
    "');\n"
    "es.onmessage = function (ev) {\n"
    "  document.getElementById('counter').innerText = "
    "'Counting: ' + ev.data;\n"
    "};\n</script>\n</body>\n</html>";

// Shared by every stream; readers run on their connections' threads, the
// push streams' timer on its own.
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

// The push streams open at /push, written to by one timer thread.
struct push_streams {
  std::mutex mutex;
  std::condition_variable stop;
  std::list<ombrix::push_stream> open;  // guarded by |mutex|
  bool stopping = false;                // likewise
};

push_streams pushes;

// Once a second, one event for every open push stream: no thread waits for
// any of them in between.
void push_ticks() {
  std::unique_lock<std::mutex> lock(pushes.mutex);
  while (!pushes.stop.wait_for(lock, std::chrono::seconds(1),
                               [] { return pushes.stopping; })) {
    if (pushes.open.empty()) continue;
    std::string event = "data: " + std::to_string(count.fetch_add(1) + 1) +
                        "\n\n";
    for (ombrix::push_stream &s : pushes.open) s.write(event);
  }
}

void push_open(ombrix::response &res) {
  // The ping, a comment, shows a client that left within 30 s.
  ombrix::push_stream stream = res.push("text/event-stream", ": ping\n\n");
  stream.write("retry: 1000\n");
  std::lock_guard<std::mutex> lock(pushes.mutex);
  auto at = pushes.open.insert(pushes.open.end(), std::move(stream));
  // The client left: the stream leaves the list, which ends it.  This runs
  // once the handler has returned, on a serving thread.
  at->on_gone([at] {
    std::lock_guard<std::mutex> relock(pushes.mutex);
    pushes.open.erase(at);
  });
}

void answer(ombrix::request &req, ombrix::response &res) {
  if (req.header("Accept").find("text/event-stream") !=
      std::string_view::npos) {
    res.set_header("Access-Control-Allow-Origin", "*");
    if (req.path() == "/push") {
      push_open(res);
      return;
    }
    res.set_header("Content-Type", "text/event-stream");
    res.stream(sse_reader{});  // size 0: chunked, until the client goes away
    return;
  }
  if (req.path() == "/favicon.ico") {
    res.send("", "", 204);
    return;
  }
  std::string source = req.path() == "/push" ? "/push" : "/";
  res.send(kPageHead + source + kPageTail, "text/html; charset=utf-8");
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
    std::thread ticks(push_ticks);
    std::printf("Server running at http://localhost:%d\n", srv.port());
    std::fflush(stdout);
    std::getchar();
    {
      std::lock_guard<std::mutex> lock(pushes.mutex);
      pushes.stopping = true;
    }
    pushes.stop.notify_all();
    ticks.join();
    // The push streams still open end as the server goes, through their
    // gone callables.
  } catch (const ombrix::error &) {
    return 1;
  }
  return 0;
}
