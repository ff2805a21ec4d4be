// namedgroups: routes with named capture groups, read back as variables.
#include <cstdio>

#include "ombrix.h"

static int vars_iter_cb(void *cls, const char *name, const char *val) {
  (void)cls;
  printf(" %s: %s\n", name, val);
  return 0;
}

static void route_cb(void *cls, ox_route *route) {
  printf("%s: %s\n", ox_route_path(route), static_cast<const char *>(cls));
  ox_route_vars_iter(route, vars_iter_cb, nullptr);
}

int main() {
  ox_route *routes = nullptr;
  ox_routes_add(&routes, "/foo/bar", route_cb,
                const_cast<char *>("foo-bar-data"));
  ox_routes_add(&routes, "/bar", route_cb, const_cast<char *>("bar-data"));
  ox_routes_add(&routes, "/customer/(?P<name>[a-zA-Z]+)", route_cb,
                const_cast<char *>("customer-data"));
  ox_routes_add(&routes, "/product/(?P<id>[0-9]+)", route_cb,
                const_cast<char *>("product-data"));
  ox_routes_add(&routes, "/employee/(?P<id>[0-9]+)/[a|i]", route_cb,
                const_cast<char *>("employee-data"));
  ox_router *router = ox_router_new(routes);
  ox_router_dispatch(router, "/foo/bar", nullptr);
  printf("---\n");
  ox_router_dispatch(router, "/customer/Kelvardo", nullptr);
  printf("---\n");
  ox_router_dispatch(router, "/product/123", nullptr);
  printf("---\n");
  ox_router_dispatch(router, "/employee/123/i", nullptr);
  ox_routes_cleanup(&routes);
  ox_router_free(router);
  fflush(stdout);
  return 0;
}
