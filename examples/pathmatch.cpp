// pathmatch: dispatches a path through a router of two plain routes.
#include <cstdio>

#include "ombrix.h"

static void route_cb(void *cls, ox_route *route) {
  printf("%s: %s\n", ox_route_path(route), static_cast<const char *>(cls));
  fflush(stdout);
}

int main() {
  ox_route *routes = nullptr;
  ox_routes_add(&routes, "/foo", route_cb, const_cast<char *>("foo-data"));
  ox_routes_add(&routes, "/bar", route_cb, const_cast<char *>("bar-data"));
  ox_router *router = ox_router_new(routes);
  ox_router_dispatch(router, "/foo", nullptr);
  ox_routes_cleanup(&routes);
  ox_router_free(router);
  return 0;
}
