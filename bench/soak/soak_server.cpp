// soak_server: the server bench/soak/run loads and attacks, on the shipped
// library.  Every limit and timeout keeps the library's default but the
// connection limit, raised so that the normal clients and the attackers fit
// side by side: the soak shows whether the defaults hold.
//   soak_server PORT UPLOAD_DIR [CONNECTION_LIMIT]   (default limit 4000)
// GET / answers a small page.  POST /upload answers "files=N bytes=B
// fields=F" and the size of each file on a second line; nothing is saved,
// so the library removes the temporary files when the request ends.
// Stops at a byte on standard input, or when it ends.
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

namespace {

constexpr unsigned int kDefaultConnectionLimit = 4000;

constexpr char kPage[] =
    "<!DOCTYPE html><html><head><title>soak</title></head>"
    "<body><p>Hello from the soak server.</p></body></html>\n";
constexpr char kNotFound[] = "Not Found\n";
constexpr char kNoMemory[] = "Internal Server Error\n";

unsigned int soak_cpu_count() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  // sysconf answers -1 where the count is unknown: serve with one thread.
  return count > 0 ? static_cast<unsigned int>(count) : 1;
}

// The totals first, on a line of their own, so that the attack tool can
// check them against what it sent without reading the whole list.
int soak_describe_uploads(ox_httpreq *req, ox_str *page) {
  unsigned int files = 0;
  uint64_t bytes = 0;
  for (ox_httpupld *upld = ox_httpreq_uploads(req); upld != nullptr;
       ox_httpuplds_next(&upld)) {
    files++;
    bytes += ox_httpupld_size(upld);
  }
  unsigned int fields = ox_strmap_count(*ox_httpreq_fields(req));
  int rc =
      ox_str_printf(page, "files=%u bytes=%" PRIu64 " fields=%u\nsizes=", files,
                    bytes, fields);
  for (ox_httpupld *upld = ox_httpreq_uploads(req); rc == 0 && upld != nullptr;
       ox_httpuplds_next(&upld)) {
    rc = ox_str_printf(page, " %" PRIu64, ox_httpupld_size(upld));
  }
  if (rc == 0) rc = ox_str_write(page, "\n", 1);
  return rc;
}

void soak_upload(ox_httpreq *req, ox_httpres *res) {
  ox_str *page = ox_str_new();
  if (page == nullptr || soak_describe_uploads(req, page) != 0) {
    ox_str_free(page);
    ox_httpres_sendbinary(res, kNoMemory, sizeof(kNoMemory) - 1, "text/plain",
                          500);
    return;
  }
  ox_httpres_sendbinary(res, ox_str_content(page), ox_str_length(page),
                        "text/plain", 200);
  ox_str_free(page);  // the send took its own copy
}

void soak_req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  const char *method = ox_httpreq_method(req);
  const char *path = ox_httpreq_path(req);
  if (strcmp(method, "GET") == 0 && strcmp(path, "/") == 0) {
    ox_httpres_sendbinary(res, kPage, sizeof(kPage) - 1,
                          "text/html; charset=utf-8", 200);
  } else if (strcmp(method, "POST") == 0 && strcmp(path, "/upload") == 0) {
    soak_upload(req, res);
  } else {
    ox_httpres_sendbinary(res, kNotFound, sizeof(kNotFound) - 1, "text/plain",
                          404);
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc < 3 || argc > 4) {
    printf("%s <PORT> <UPLOAD_DIR> [CONNECTION_LIMIT]\n", argv[0]);
    return 1;
  }
  auto port = static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
  unsigned int limit = kDefaultConnectionLimit;
  if (argc == 4)
    limit = static_cast<unsigned int>(strtoul(argv[3], nullptr, 10));
  unsigned int threads = soak_cpu_count();
  ox_httpsrv *srv = ox_httpsrv_new(soak_req_cb, nullptr);
  if (srv == nullptr || ox_httpsrv_set_thr_pool_size(srv, threads) != 0 ||
      ox_httpsrv_set_con_limit(srv, limit) != 0 ||
      ox_httpsrv_set_upld_dir(srv, argv[2]) != 0 ||
      !ox_httpsrv_listen(srv, port, false)) {
    ox_httpsrv_free(srv);
    return 1;
  }
  printf("Thread pool: %u\n", threads);
  printf("Connections limit: %u\n", limit);
  printf("Upload directory: %s\n", ox_httpsrv_upld_dir(srv));
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  return 0;
}
