// Router: hands a path to the first route whose pattern matches it whole.
// A dispatch allocates nothing: each route brings its own match data.
#include "ox_router.h"

#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_routes.h"

ox_router *ox_router_new(ox_route *routes) noexcept {
  if (routes == nullptr) return ox__einval<ox_router *>(nullptr);
  auto *router = static_cast<ox_router *>(ox_alloc(sizeof(ox_router)));
  if (router != nullptr) router->routes = routes;
  return router;
}

void ox_router_free(ox_router *router) noexcept { ox_free(router); }

int ox_router_dispatch2(ox_router *router, const char *path, void *user_data,
                        ox_router_dispatch_cb dispatch_cb, void *cls,
                        ox_router_match_cb match_cb) noexcept {
  if (router == nullptr || path == nullptr || router->routes == nullptr) {
    return EINVAL;
  }
  // The callbacks cannot change |path| (it is const to them), so its
  // length is measured once rather than per route tried.
  const size_t length = strlen(path);
  for (ox_route *route = router->routes; route != nullptr;
       route = route->next) {
    if (dispatch_cb != nullptr) {
      if (int rc = dispatch_cb(cls, path, route); rc != 0) return rc;
    }
    // PCRE2's own limits: a router dispatches paths of the program's.
    route->rc = ox__routes_match(route->re, path, length, route->match, nullptr);
    if (route->rc < 0) continue;
    route->path = path;
    route->user_data = user_data;
    if (match_cb != nullptr) {
      if (int rc = match_cb(cls, route); rc != 0) return rc;
    }
    route->cb(route->cls, route);
    return 0;
  }
  return ENOENT;
}

int ox_router_dispatch(ox_router *router, const char *path,
                       void *user_data) noexcept {
  return ox_router_dispatch2(router, path, user_data, nullptr, nullptr,
                             nullptr);
}
