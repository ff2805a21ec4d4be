// ticker: a counter pushed to the browser as a server-sent event stream.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ombrix.h"

static const char kPage[] =
    "<html>\n<head>\n<title>SSE example</title>\n</head>"
    "<body><h2 id=\"counter\">Please wait ...</h2>\n<script>\n"
    "const es = new EventSource('/');\n"
    "es.onmessage = function (ev) {\n"
    "  document.getElementById('counter').innerText = "
    "'Counting: ' + ev.data;\n"
    "};\n</script>\n</body>\n</html>";

// Shared by every stream; readers run on their connections' threads.
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

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  ox_strmap **req_headers = ox_httpreq_headers(req);
  ox_strmap **res_headers = ox_httpres_headers(res);
  ox_strmap *accept = nullptr;
  if (req_headers != nullptr &&
      ox_strmap_find(*req_headers, "Accept", &accept) == 0 &&
      strstr(ox_strmap_val(accept), "text/event-stream") != nullptr) {
    auto *stream = new (std::nothrow) sse_stream;
    if (stream == nullptr) return;  // the core answers
    ox_strmap_set(res_headers, "Access-Control-Allow-Origin", "*");
    ox_strmap_set(res_headers, "Content-Type", "text/event-stream");
    // Size 0: chunked, until the client goes away.
    ox_httpres_sendstream(res, 0, sse_read_cb, stream, sse_free_cb, 200);
    return;
  }
  if (strcmp(ox_httpreq_path(req), "/favicon.ico") == 0) {
    ox_httpres_sendbinary(res, "", 0, "", 204);
    return;
  }
  ox_httpres_sendbinary(res, kPage, sizeof(kPage) - 1,
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
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
