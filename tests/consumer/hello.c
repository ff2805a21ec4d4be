/* A C11 program built against an installed libombrix: answers every
 * request with a line that names the library's version. */
#include <ombrix.h>
#include <stdio.h>
#include <string.h>

static void hello(void *cls, ox_httpreq *req, ox_httpres *res) {
  char text[64];
  (void)cls;
  (void)req;
  snprintf(text, sizeof(text), "hello from C, libombrix %s\n", ox_version());
  ox_httpres_sendbinary(res, text, strlen(text), "text/plain", 200);
}

int main(void) {
  ox_httpsrv *srv;
  /* The header and the library must be of one release. */
  if (strcmp(ox_version(), OMBRIX_VERSION_STRING) != 0) return 2;
  srv = ox_httpsrv_new(hello, NULL);
  if (!ox_httpsrv_listen(srv, 0, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
