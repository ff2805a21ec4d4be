// intake: uploads from an HTML form, saved, listed and downloaded back.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ombrix.h"

static const char kFormPage[] =
    "<html><body><form action=\"\" method=\"post\" "
    "enctype=\"multipart/form-data\"><fieldset>"
    "<legend>Choose the files:</legend>"
    "File 1: <input type=\"file\" name=\"file1\"/><br>"
    "File 2: <input type=\"file\" name=\"file2\"/><br>"
    "<input type=\"submit\"/></fieldset></form></body></html>";
static const char kBadRequestPage[] =
    "<html><head><title>Bad request</title></head><body>400</body></html>";
static const char kNotFoundPage[] =
    "<html><head><title>Not found</title></head><body>404</body></html>";
static const char kNoMemoryPage[] =
    "<html><head><title>Server error</title></head><body>500</body></html>";
static const char kHtml[] = "text/html; charset=utf-8";

// Appends |text| with the bytes that mean something in HTML replaced by
// their entities, so a client's file name shows as text.
static int append_html(ox_str *str, const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    const char *entity = nullptr;
    switch (*p) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&#39;";
        break;
      default:
        break;
    }
    int rc = entity != nullptr ? ox_str_write(str, entity, strlen(entity))
                               : ox_str_write(str, p, 1);
    if (rc != 0) return rc;
  }
  return 0;
}

// Appends |text| percent-encoded but for the unreserved bytes, so it goes
// through a query string and comes back decoded as it was.
static int append_query_value(ox_str *str, const char *text) {
  static const char hex[] = "0123456789ABCDEF";
  for (const char *p = text; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                      c == '_' || c == '~';
    char esc[3] = {'%', hex[c >> 4], hex[c & 15]};
    int rc = unreserved ? ox_str_write(str, p, 1) : ox_str_write(str, esc, 3);
    if (rc != 0) return rc;
  }
  return 0;
}

// Saves every upload and builds the list page; 0 or the error that stopped
// the page from being built.
static int build_upload_page(ox_httpreq *req, ox_str *page) {
  int rc = ox_str_printf(page,
                         "<html><head><title>Uploads</title></head><body>"
                         "<strong>Uploaded files:</strong><br><ol>");
  for (ox_httpupld *upld = ox_httpreq_uploads(req); rc == 0 && upld != nullptr;
       ox_httpuplds_next(&upld)) {
    const char *name = ox_httpupld_name(upld);
    if (name == nullptr) name = "";
    int saved = ox_httpupld_save(upld, true);
    if (saved == 0) {
      if (rc == 0) rc = ox_str_printf(page, "<li><a href=\"?file=");
      if (rc == 0) rc = append_query_value(page, name);
      if (rc == 0) rc = ox_str_printf(page, "\">");
      if (rc == 0) rc = append_html(page, name);
      if (rc == 0) rc = ox_str_printf(page, "</a></li>");
    } else {
      char errmsg[256];
      ox_strerror(saved, errmsg, sizeof(errmsg));
      if (rc == 0) rc = ox_str_printf(page, "<li><font color='red'>");
      if (rc == 0) rc = append_html(page, name);
      if (rc == 0) rc = ox_str_printf(page, " - failed - ");
      if (rc == 0) rc = append_html(page, errmsg);
      if (rc == 0) rc = ox_str_printf(page, "</font></li>");
    }
  }
  if (rc == 0) rc = ox_str_printf(page, "</ol></body></html>");
  return rc;
}

static void process_uploads(ox_httpreq *req, ox_httpres *res) {
  ox_str *page = ox_str_new();
  if (page == nullptr || build_upload_page(req, page) != 0) {
    ox_str_free(page);
    ox_httpres_sendbinary(res, kNoMemoryPage, sizeof(kNoMemoryPage) - 1, kHtml,
                          500);
    return;
  }
  ox_httpres_sendbinary(res, ox_str_content(page), ox_str_length(page), kHtml,
                        200);
  ox_str_free(page);  // the send took its own copy
}

// A name the library would have refused to save cannot name a saved file;
// refusing it keeps the client's text from leaving the upload directory.
static bool file_name_ok(const char *name) {
  if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return false;
  for (const char *p = name; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

static void send_download(ox_httpreq *req, ox_httpres *res, const char *name) {
  char path[4096];
  const char *dir = ox_httpsrv_upld_dir(ox_httpreq_srv(req));
  int len = -1;
  if (file_name_ok(name) && dir != nullptr)
    len = snprintf(path, sizeof(path), "%s%c%s", dir, '/', name);
  // A path that does not fit is refused rather than cut short.
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) {
    ox_httpres_sendbinary(res, kBadRequestPage, sizeof(kBadRequestPage) - 1,
                          kHtml, 400);
    return;
  }
  // Only a regular file is sent: not a directory, a FIFO that would block,
  // nor a symbolic link that points out of the directory.
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
      ox_httpres_sendfile2(res, 0, 0, 0, path, "attachment", 200) != 0) {
    ox_httpres_sendbinary(res, kNotFoundPage, sizeof(kNotFoundPage) - 1, kHtml,
                          404);
  }
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  if (ox_httpreq_is_uploading(req)) {
    process_uploads(req, res);
    return;
  }
  ox_strmap **params = ox_httpreq_params(req);
  if (params != nullptr && ox_strmap_count(*params) > 0) {
    const char *name = ox_strmap_get(*params, "file");
    // A query without "file" is left to the core, which answers it.
    if (name != nullptr) send_download(req, res, name);
    return;
  }
  ox_httpres_sendbinary(res, kFormPage, sizeof(kFormPage) - 1, kHtml, 200);
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
