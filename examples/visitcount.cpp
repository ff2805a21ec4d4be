// visitcount: cookies, a page that counts how often the browser reloaded it.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static const char kFirstVisitPage[] =
    "<html><head><title>Cookies</title></head>"
    "<body>Use F5 to refresh this page ...</body></html>";
static const char kRefreshPageFormat[] =
    "<html><head><title>Cookies</title></head>"
    "<body>Refresh number: %d</body></html>";

// The cookie is client text: a number out of the range of int is clamped to
// INT_MIN or INT_MAX rather than wrapped, and text that is not a number
// counts as 0 (a first visit).
static int strtoint(const char *str) {
  if (str == nullptr) return 0;
  long val = strtol(str, nullptr, 10);
  if (val > INT_MAX) return INT_MAX;  // ERANGE gives LONG_MAX: clamped too
  if (val < INT_MIN) return INT_MIN;
  return static_cast<int>(val);
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  if (strcmp(ox_httpreq_path(req), "/favicon.ico") == 0) {
    ox_httpres_sendbinary(res, "", 0, "", 204);
    return;
  }
  ox_strmap **cookies = ox_httpreq_cookies(req);
  int count = cookies == nullptr
                  ? 0
                  : strtoint(ox_strmap_get(*cookies, "refresh_count"));
  char str[100];
  if (count == 0) {
    snprintf(str, sizeof(str), "%s", kFirstVisitPage);
    count = 1;
  } else {
    snprintf(str, sizeof(str), kRefreshPageFormat, count);
    // A count that reached INT_MAX stays there instead of overflowing.
    if (count < INT_MAX) count++;
  }
  ox_httpres_sendbinary(res, str, strlen(str), "text/html; charset=utf-8", 200);
  // The headers go out when this callback returns, so the cookie still
  // travels with the page sent above.
  snprintf(str, sizeof(str), "%d", count);
  ox_httpres_set_cookie(res, "refresh_count", str);
}

int main(int argc, char *argv[]) {
  if (argc != 2) {
    printf("%s <PORT>\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  ox_httpsrv *srv = ox_httpsrv_new(req_cb, nullptr);
  if (!ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
