// minisite: every request answered through a router, with a 404 page.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ombrix.h"

static const char kHomePage[] =
    "<html><head><title>Home</title></head><body>Home</body></html>";
static const char kAboutPage[] =
    "<html><head><title>About</title></head><body>About</body></html>";
static const char kDownloadPageFormat[] =
    "<html><head><title>Download</title></head><body>%s</body></html>";
static const char kNotFoundPage[] =
    "<html><head><title>Not found</title></head><body>404</body></html>";

// One request's handles, carried through the router as its user data.
struct holder {
  ox_httpreq *req;
  ox_httpres *res;
};

// The router and the lock that keeps its dispatches apart: a dispatch
// writes its match into the routes it tries, and the server may run
// requests on several threads.
struct site {
  ox_router *router;
  std::mutex lock;
};

static void route_home_cb(void *cls, ox_route *route) {
  (void)cls;
  auto *h = static_cast<holder *>(ox_route_user_data(route));
  ox_httpres_sendbinary(h->res, kHomePage, sizeof(kHomePage) - 1, "text/html",
                        200);
}

static void route_about_cb(void *cls, ox_route *route) {
  (void)cls;
  auto *h = static_cast<holder *>(ox_route_user_data(route));
  ox_httpres_sendbinary(h->res, kAboutPage, sizeof(kAboutPage) - 1, "text/html",
                        200);
}

// Writes "name: value" of the last variable into the 256-byte array |cls|;
// a longer text is cut to fit.
static int route_download_file_cb(void *cls, const char *name,
                                  const char *val) {
  snprintf(static_cast<char *>(cls), 256, "%s: %s", name, val);
  return 0;
}

static void route_download_cb(void *cls, ox_route *route) {
  (void)cls;
  auto *h = static_cast<holder *>(ox_route_user_data(route));
  ox_str *page = ox_str_new();
  char file[256];
  memset(file, 0, sizeof(file));
  ox_route_vars_iter(route, route_download_file_cb, file);
  if (file[0] == '\0') snprintf(file, sizeof(file), "%s", "Download");
  ox_str_printf(page, kDownloadPageFormat, file);
  const char *content = ox_str_content(page);
  ox_httpres_sendbinary(h->res, content,
                        content != nullptr ? strlen(content) : 0, "text/html",
                        200);
  ox_str_free(page);  // the send took its own copy
}

static void req_cb(void *cls, ox_httpreq *req, ox_httpres *res) {
  auto *s = static_cast<site *>(cls);
  holder h{req, res};
  int rc;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    rc = ox_router_dispatch(s->router, ox_httpreq_path(req), &h);
  }
  if (rc != 0)
    ox_httpres_sendbinary(res, kNotFoundPage, sizeof(kNotFoundPage) - 1,
                          "text/html", 404);
}

int main() {
  ox_route *routes = nullptr;
  ox_routes_add(&routes, "/home", route_home_cb, nullptr);
  ox_routes_add(&routes, "/download", route_download_cb, nullptr);
  ox_routes_add(&routes, "/download/(?P<file>[a-z]+)", route_download_cb,
                nullptr);
  ox_routes_add(&routes, "/about", route_about_cb, nullptr);
  site s{ox_router_new(routes), {}};

  ox_httpsrv *srv = ox_httpsrv_new(req_cb, &s);
  if (!ox_httpsrv_listen(srv, 0, false)) {
    ox_httpsrv_free(srv);
    ox_routes_cleanup(&routes);
    ox_router_free(s.router);
    return 1;
  }
  printf("Server running at http://localhost:%d\n", ox_httpsrv_port(srv));
  fflush(stdout);
  getchar();
  ox_httpsrv_free(srv);
  ox_routes_cleanup(&routes);
  ox_router_free(s.router);
  return 0;
}
