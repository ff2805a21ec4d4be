// transfer_server: the two ends of bench/http/transfer, on the library.
//   transfer_server upload PORT DIR   saves every uploaded file into DIR (as
//                                     the intake demo does) and answers with
//                                     the names and sizes it saved;
//   transfer_server download PORT FILE  sends FILE to every request with
//                                     ox_httpres_sendfile2 as an attachment.
// Stops at a byte on standard input.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

namespace {

const char *download_path = nullptr;

void upload_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  if (!ox_httpreq_is_uploading(req)) {
    ox_httpres_sendbinary(res, "no upload\n", 10, "text/plain", 400);
    return;
  }
  ox_str *page = ox_str_new();
  unsigned int status = 200;
  for (ox_httpupld *upld = ox_httpreq_uploads(req); upld != nullptr;
       ox_httpuplds_next(&upld)) {
    int rc = ox_httpupld_save(upld, true);
    if (rc != 0) status = 500;
    ox_str_printf(page, "%s %" PRIu64 " %s\n", ox_httpupld_name(upld),
                  ox_httpupld_size(upld), rc == 0 ? "saved" : "failed");
  }
  ox_httpres_sendbinary(res, ox_str_content(page), ox_str_length(page),
                        "text/plain", status);
  ox_str_free(page);
}

void download_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  if (ox_httpres_sendfile2(res, 0, 0, 0, download_path, "attachment", 200) !=
      0) {
    ox_httpres_sendbinary(res, "no file\n", 8, "text/plain", 404);
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 4 || (strcmp(argv[1], "upload") != 0 &&
                    strcmp(argv[1], "download") != 0)) {
    printf("%s upload <PORT> <DIR> | download <PORT> <FILE>\n", argv[0]);
    return 1;
  }
  bool upload = strcmp(argv[1], "upload") == 0;
  auto port = static_cast<uint16_t>(strtol(argv[2], nullptr, 10));
  ox_httpsrv *srv = ox_httpsrv_new(upload ? upload_cb : download_cb, nullptr);
  if (srv == nullptr) return 1;
  if (upload) {
    ox_httpsrv_set_upld_dir(srv, argv[3]);
    // Room for one 1 GiB file beside the multipart framing.
    ox_httpsrv_set_uplds_limit(srv, 4ull << 30);
  } else {
    download_path = argv[3];
  }
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
