// ticker: a counter pushed to the browser as a server-sent event stream,
// pulled from a reader at / and pushed by a timer thread at /push.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "ombrix.h"

// The page, around the path of its event stream.
static const char kPageHead[] =
    "<html>\n<head>\n<title>SSE example</title>\n</head>"
    "<body><h2 id=\"counter\">Please wait ...</h2>\n<script>\n"
    "const es = new EventSource('";
static const char kPageTail[] =
    "');\n"
    "es.onmessage = function (ev) {\n"
    "  document.getElementById('counter').innerText = "
    "'Counting: ' + ev.data;\n"
    "};\n</script>\n</body>\n</html>";

// Shared by every stream; readers run on their connections' threads, the
// push streams' timer on its own.
static std::atomic<uint32_t> COUNT{0};

// One stream's event in the making: an event the core could not take whole
// is handed out over the next calls, so no event is ever cut short.
struct sse_stream {
  char msg[20];     // the current event text
  size_t len = 0;   // its length
  size_t sent = 0;  // bytes of it already handed out
  bool started = false;
};

static ssize_t sse_read_cb(void *handle, uint64_t offset, char *buf,
                           size_t size) {
  (void)offset;
  auto *stream = static_cast<sse_stream *>(handle);
  if (stream->sent == stream->len) {
    int len;
    if (!stream->started) {
      stream->started = true;
      len = snprintf(stream->msg, sizeof(stream->msg), "retry: 1000\n");
    } else {
      uint32_t count = COUNT.fetch_add(1) + 1;
      len = snprintf(stream->msg, sizeof(stream->msg), "data: %d\n\n",
                     static_cast<int>(count));
      sleep(1);
    }
    stream->len = static_cast<size_t>(len);
    stream->sent = 0;
  }
  size_t n = std::min(size, stream->len - stream->sent);
  memcpy(buf, stream->msg + stream->sent, n);
  stream->sent += n;
  return static_cast<ssize_t>(n);
}

static void sse_free_cb(void *handle) {
  delete static_cast<sse_stream *>(handle);
}

// The push streams open at /push, written to by one timer thread.
static std::mutex PUSH_MUTEX;
static std::condition_variable PUSH_STOP;
static std::vector<ox_push *> PUSHES;  // guarded by PUSH_MUTEX
static bool PUSH_STOPPING = false;     // likewise

// The client left: the stream leaves the list, and is ended.
static void push_gone(void *cls) {
  auto *push = static_cast<ox_push *>(cls);
  {
    std::lock_guard<std::mutex> lock(PUSH_MUTEX);
    PUSHES.erase(std::remove(PUSHES.begin(), PUSHES.end(), push),
                 PUSHES.end());
  }
  ox_push_end(push);
}

// Once a second, one event for every open push stream: no thread waits for
// any of them in between.
static void push_ticks() {
  std::unique_lock<std::mutex> lock(PUSH_MUTEX);
  while (!PUSH_STOP.wait_for(lock, std::chrono::seconds(1),
                             [] { return PUSH_STOPPING; })) {
    if (PUSHES.empty()) continue;
    char event[32];
    int len = snprintf(event, sizeof(event), "data: %d\n\n",
                       static_cast<int>(COUNT.fetch_add(1) + 1));
    for (ox_push *push : PUSHES) {
      ox_push_write(push, event, static_cast<size_t>(len));
    }
  }
}

static void push_open(ox_httpres *res) {
  ox_push *push = nullptr;
  // The ping, a comment, shows a client that left within 30 s.
  if (ox_httpres_sendpush(res, "text/event-stream", ": ping\n\n", 200,
                          &push) != 0) {
    return;  // the core answers
  }
  ox_push_write(push, "retry: 1000\n", 12);
  try {
    std::lock_guard<std::mutex> lock(PUSH_MUTEX);
    PUSHES.push_back(push);
    // It runs once this callback has returned, on a serving thread.
    ox_push_on_gone(push, push_gone, push);
  } catch (const std::bad_alloc &) {
    ox_push_end(push);  // no room to keep it: it ends at once
  }
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  ox_strmap **req_headers = ox_httpreq_headers(req);
  ox_strmap **res_headers = ox_httpres_headers(res);
  ox_strmap *accept = nullptr;
  if (req_headers != nullptr &&
      ox_strmap_find(*req_headers, "Accept", &accept) == 0 &&
      strstr(ox_strmap_val(accept), "text/event-stream") != nullptr) {
    ox_strmap_set(res_headers, "Access-Control-Allow-Origin", "*");
    if (strcmp(ox_httpreq_path(req), "/push") == 0) {
      push_open(res);
      return;
    }
    auto *stream = new (std::nothrow) sse_stream;
    if (stream == nullptr) return;  // the core answers
    ox_strmap_set(res_headers, "Content-Type", "text/event-stream");
    // Size 0: chunked, until the client goes away.
    ox_httpres_sendstream(res, 0, sse_read_cb, stream, sse_free_cb, 200);
    return;
  }
  if (strcmp(ox_httpreq_path(req), "/favicon.ico") == 0) {
    ox_httpres_sendbinary(res, "", 0, "", 204);
    return;
  }
  bool push = strcmp(ox_httpreq_path(req), "/push") == 0;
  char page[sizeof(kPageHead) + sizeof(kPageTail) + 8];
  int len = snprintf(page, sizeof(page), "%s%s%s", kPageHead,
                     push ? "/push" : "/", kPageTail);
  ox_httpres_sendbinary(res, page, static_cast<size_t>(len),
                        "text/html; charset=utf-8", 200);
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  ox_httpsrv *srv = ox_httpsrv_new(req_cb, nullptr);
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  // A connection per thread: a reader asleep stalls only its own stream.
  if (!ox_httpsrv_listen(srv, port, true)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  std::thread ticks(push_ticks);
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  {
    std::lock_guard<std::mutex> lock(PUSH_MUTEX);
    PUSH_STOPPING = true;
  }
  PUSH_STOP.notify_all();
  ticks.join();
  // The push streams still open end here, through their gone callbacks.
  ox_httpsrv_free(srv);
  return 0;
}
