/* The public header from C: every family called once by a C11 program. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "ombrix.h"

static int failures;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, \
              #cond);                                            \
      failures++;                                                \
    }                                                            \
  } while (0)

static int route_runs;

static void route_cb(void *cls, ox_route *route) {
  (void)cls;
  route_runs++;
  CHECK(strcmp(ox_route_path(route), "/item/42") == 0);
}

static int vars_cb(void *cls, const char *name, const char *val) {
  char *out = cls;
  strcat(out, name);
  strcat(out, "=");
  strcat(out, val);
  return 0;
}

static int count_pair(void *cls, ox_strmap *pair) {
  (void)pair;
  ++*(int *)cls;
  return 0;
}

static int by_name(void *cls, ox_strmap *a, ox_strmap *b) {
  (void)cls;
  return strcmp(ox_strmap_name(a), ox_strmap_name(b));
}

static int first_name(void *cls, ox_entrypoint *entrypoint) {
  *(const char **)cls = ox_entrypoint_name(entrypoint);
  return 1;
}

static void never_req(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  (void)res;
}

static void test_memory_and_errors(void) {
  char msg[256];
  char *name;
  void *block = ox_alloc(8);
  CHECK(block != NULL);
  block = ox_realloc(block, 16);
  CHECK(block != NULL);
  ox_free(block);
  CHECK(strcmp(ox_version(), OMBRIX_VERSION_STRING) == 0);
  CHECK(OMBRIX_VERSION_MAJOR == 0 && OMBRIX_VERSION_MINOR == 1);
  CHECK(ox_strerror(ENOENT, msg, sizeof msg) == 0);
  CHECK(strcmp(msg, "No such file or directory") == 0);
  CHECK(strcmp(ox_escape("a\"b\n", msg, sizeof msg), "a\\x22b\\x0A") == 0);
  CHECK(ox_safe_filename("../.x.txt", msg, sizeof msg) == 0);
  CHECK(strcmp(msg, "x.txt") == 0);
  CHECK(ox_httpupld_path(NULL) == NULL && errno == EINVAL);
  CHECK(ox_httpreq_set_body_cb(NULL, NULL, NULL, NULL) == EINVAL);
  name = ox_extract_entrypoint("/r1/foo");
  CHECK(name != NULL && strcmp(name, "/r1") == 0);
  ox_free(name);
}

static void test_str(void) {
  ox_str *str = ox_str_new();
  CHECK(str != NULL);
  CHECK(ox_str_write(str, "Hello", 5) == 0);
  CHECK(ox_str_printf(str, " %s", "world") == 0);
  CHECK(strcmp(ox_str_content(str), "Hello world") == 0);
  CHECK(ox_str_length(str) == 11);
  CHECK(ox_str_clear(str) == 0);
  ox_str_free(str);
}

static void test_strmap(void) {
  ox_strmap *map = NULL;
  ox_strmap *pair = NULL;
  int pairs = 0;
  CHECK(ox_strmap_add(&map, "Content-Type", "text/plain") == 0);
  CHECK(ox_strmap_set(&map, "accept", "*/*") == 0);
  CHECK(ox_strmap_find(map, "content-type", &pair) == 0);
  CHECK(strcmp(ox_strmap_name(pair), "Content-Type") == 0);
  CHECK(strcmp(ox_strmap_val(pair), "text/plain") == 0);
  CHECK(strcmp(ox_strmap_get(map, "ACCEPT"), "*/*") == 0);
  CHECK(ox_strmap_count(map) == 2);
  CHECK(ox_strmap_sort(&map, by_name, NULL) == 0);
  CHECK(ox_strmap_iter(map, count_pair, &pairs) == 0 && pairs == 2);
  ox_strmap_cleanup(&map);
  CHECK(map == NULL);
}

static void test_router(void) {
  ox_route *routes = NULL;
  ox_router *router;
  char vars[32] = "";
  int marker = 0;
  CHECK(ox_routes_add(&routes, "/item/(?P<id>[0-9]+)", route_cb, NULL) == 0);
  router = ox_router_new(routes);
  CHECK(router != NULL);
  CHECK(ox_router_dispatch(router, "/item/42", &marker) == 0);
  CHECK(route_runs == 1);
  CHECK(ox_route_user_data(routes) == &marker);
  CHECK(ox_route_vars_iter(routes, vars_cb, vars) == 0);
  CHECK(strcmp(vars, "id=42") == 0);
  CHECK(ox_router_dispatch2(router, "/none", NULL, NULL, NULL, NULL) ==
        ENOENT);
  ox_router_free(router);
  CHECK(ox_routes_cleanup(&routes) == 0 && routes == NULL);
}

static void test_entrypoints(void) {
  ox_entrypoints *entrypoints = ox_entrypoints_new();
  ox_entrypoint *entrypoint = NULL;
  const char *first = NULL;
  int data = 0;
  CHECK(entrypoints != NULL);
  CHECK(ox_entrypoints_add(entrypoints, "/r2", NULL) == 0);
  CHECK(ox_entrypoints_add(entrypoints, "/r1", &data) == 0);
  CHECK(ox_entrypoints_find(entrypoints, &entrypoint, "/r1/foo") == 0);
  CHECK(ox_entrypoint_user_data(entrypoint) == &data);
  CHECK(ox_entrypoint_set_user_data(entrypoint, NULL) == 0);
  CHECK(ox_entrypoints_iter(entrypoints, first_name, &first) == 1);
  CHECK(first != NULL && strcmp(first, "/r1") == 0);
  CHECK(ox_entrypoints_rm(entrypoints, "/r2") == 0);
  CHECK(ox_entrypoints_clear(entrypoints) == 0);
  ox_entrypoints_free(entrypoints);
}

static void test_server(void) {
  ox_httpsrv *srv = ox_httpsrv_new(never_req, NULL);
  CHECK(srv != NULL);
  CHECK(ox_httpsrv_port(srv) == 0);
  CHECK(ox_httpsrv_add_route(srv, "GET", "/r/(?P<id>[0-9]+)", never_req,
                             NULL) == 0);
  CHECK(ox_httpreq_var(NULL, "id", NULL) == NULL);
  CHECK(ox_httpreq_capture(NULL, 0, NULL) == NULL);
  CHECK(ox_httpsrv_set_compression(srv, 6) == 0);
  CHECK(ox_httpsrv_set_mime(srv, ".log", "text/plain") == 0);
  CHECK(ox_httpsrv_set_file_cache(srv, 16) == 0);
  CHECK(strcmp(ox_httpsrv_mime(srv, "a.LOG"), "text/plain") == 0);
  CHECK(ox_httpres_senddir(NULL, "/", "/") == EINVAL);
  {
    ox_push *push = NULL;
    CHECK(ox_httpres_sendpush(NULL, "text/event-stream", ": ping\n\n", 200,
                              &push) == EINVAL);
    CHECK(push == NULL);
    CHECK(ox_push_write(NULL, "x", 1) == EINVAL);
    CHECK(ox_push_on_gone(NULL, NULL, NULL) == EINVAL);
    ox_push_end(NULL);
    CHECK(ox_httpsrv_set_ws_limits(srv, 0, 4096, OX_WSFULL_CLOSE) == 0);
    CHECK(ox_httpsrv_set_ws_timeouts(srv, 5, 0) == 0);
  }
  CHECK(ox_httpsrv_set_bind_addr(srv, "127.0.0.1") == 0);
  CHECK(ox_httpsrv_set_reuse_port(srv, true) == 0);
  CHECK(ox_httpsrv_set_log(srv, ox_httplog_clf, stdout) == 0);
  CHECK(ox_httpsrv_set_tls_mem(srv, "no", "pem", NULL) != 0);
  {
    char why[256];
    CHECK(ox_httpsrv_last_error(srv, why, sizeof why) == EINVAL);
    CHECK(strstr(why, "GnuTLS") != NULL);
  }
  CHECK(ox_httpsrv_set_match_limit(srv, 5000) == 0);
  CHECK(ox_httpsrv_set_send_timeout(srv, 30, 1024) == 0);
  CHECK(ox_httpsrv_set_auth_cb(srv, NULL) == 0);
  CHECK(ox_httpsrv_set_req_cb(srv, never_req) == 0);
  CHECK(ox_httpsrv_set_err_cb(srv, NULL) == 0);
  {
    static const char *const origins[] = {"https://app.example", NULL};
    ox_cors cors = {0};
    cors.origins = origins;
    cors.max_age = 60;
    CHECK(ox_httpsrv_set_cors(srv, &cors) == 0);
    CHECK(ox_httpsrv_set_before(srv, NULL, NULL) == 0);
    CHECK(ox_httpsrv_set_after(srv, NULL, NULL) == 0);
    CHECK(ox_httpsrv_set_status_page(srv, 404, "<p>no</p>", "text/html") == 0);
  }
  CHECK(ox_httpreq_peer(NULL) == NULL);
  CHECK(ox_httplog_status(NULL) == 0);
  CHECK(ox_httplog_target(NULL) == NULL);
  CHECK(ox_httpreq_set_log_id(NULL, "id") == EINVAL);
  CHECK(ox_httpsrv_set_log(srv, ox_httplog_combined, stdout) == 0);
  {
    /* The default attributes spelled out in C. */
    ox_cookie_opts opts = OX_COOKIE_OPTS_DEFAULT;
    opts.same_site = OX_SAMESITE_STRICT;
    CHECK(ox_httpres_set_cookie2(NULL, "a", "1", &opts) == EINVAL);
    CHECK(ox_httpres_delete_cookie(NULL, "a", &opts) == EINVAL);
  }
  CHECK(ox_httpsrv_listen(srv, 0, false));
  CHECK(ox_httpsrv_listen2(srv, 0, false) == EALREADY);
  CHECK(ox_httpsrv_port(srv) > 0);
  {
    char addrs[64];
    CHECK(ox_httpsrv_bound_addrs(srv, addrs, sizeof addrs) == 0);
    CHECK(strncmp(addrs, "127.0.0.1:", 10) == 0);
  }
  {
    unsigned int cut = 1;
    CHECK(ox_httpsrv_drain_many(&srv, 1, 100, &cut) == 0 && cut == 0);
    CHECK(ox_httpsrv_drain(srv, 100, &cut) == EINVAL);
  }
  ox_httpsrv_free(srv);
}

int main(void) {
  test_memory_and_errors();
  test_str();
  test_strmap();
  test_router();
  test_entrypoints();
  test_server();
  if (failures != 0) {
    fprintf(stderr, "c_api_test: %d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
