// mounts: two routers mounted under "/r1" and "/r2" as entry points.
#include <cstdio>

#include "ombrix.h"

static void r1_route_cb(void *cls, ox_route *route) {
  printf("%s: %s\n", ox_route_path(route), static_cast<const char *>(cls));
  fflush(stdout);
}

static void r2_route_cb(void *cls, ox_route *route) {
  printf("%s: %s\n", ox_route_path(route), static_cast<const char *>(cls));
  fflush(stdout);
}

int main() {
  ox_route *rts1 = nullptr;
  ox_route *rts2 = nullptr;
  ox_routes_add(&rts1, "/foo", r1_route_cb, const_cast<char *>("r1-foo-data"));
  ox_routes_add(&rts1, "/bar", r1_route_cb, const_cast<char *>("r1-bar-data"));
  ox_router *r1 = ox_router_new(rts1);
  ox_routes_add(&rts2, "/foo", r2_route_cb, const_cast<char *>("r2-foo-data"));
  ox_routes_add(&rts2, "/bar", r2_route_cb, const_cast<char *>("r2-bar-data"));
  ox_router *r2 = ox_router_new(rts2);

  ox_entrypoints *entrypoints = ox_entrypoints_new();
  ox_entrypoints_add(entrypoints, "/r1", r1);
  ox_entrypoints_add(entrypoints, "/r2", r2);

  // Each full path finds its mount; the rest goes to the router found there.
  static const char *const paths[][2] = {{"/r1/foo", "/foo"},
                                         {"/r1/bar", "/bar"},
                                         {"/r2/foo", "/foo"},
                                         {"/r2/bar", "/bar"}};
  for (const auto &path : paths) {
    ox_entrypoint *entrypoint = nullptr;
    // A failed find (no table, no memory for the name) leaves nothing to
    // dispatch to.
    if (ox_entrypoints_find(entrypoints, &entrypoint, path[0]) != 0) continue;
    auto *router =
        static_cast<ox_router *>(ox_entrypoint_user_data(entrypoint));
    ox_router_dispatch(router, path[1], nullptr);
  }

  ox_routes_cleanup(&rts1);
  ox_routes_cleanup(&rts2);
  ox_router_free(r1);
  ox_router_free(r2);
  ox_entrypoints_free(entrypoints);
  return 0;
}
