// pathparts: routes with unnamed capture groups, read back as segments.
#include <cstdio>

#include "ombrix.h"

static int segments_iter_cb(void *cls, unsigned int index,
                            const char *segment) {
  (void)cls;
  printf(" %d: %s\n", static_cast<int>(index), segment);
  return 0;
}

static void route_cb(void *cls, ox_route *route) {
  printf("%s: %s\n", ox_route_path(route), static_cast<const char *>(cls));
  ox_route_segments_iter(route, segments_iter_cb, nullptr);
}

int main() {
  ox_route *routes = nullptr;
  ox_routes_add(&routes, "/foo/[0-9]+", route_cb,
                const_cast<char *>("foo-data"));
  ox_routes_add(&routes, "/bar/([a-zA-Z]+)/([0-9]+)", route_cb,
                const_cast<char *>("bar-data"));
  ox_router *router = ox_router_new(routes);
  ox_router_dispatch(router, "/foo/123", nullptr);
  printf("---\n");
  ox_router_dispatch(router, "/bar/abc/123", nullptr);
  ox_routes_cleanup(&routes);
  ox_router_free(router);
  fflush(stdout);
  return 0;
}
