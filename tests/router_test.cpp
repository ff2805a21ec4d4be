// Route list and router: whole-path matching, first match wins, what the
// dispatch callbacks stop and what each route holds afterwards, captures,
// and a dispatch that allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <string>

#include "ombrix.h"
#include "ox_httproute.h"
#include "ox_routes.h"
#include "support/alloc_torture.h"
#include "support/count_malloc.h"

namespace {

// A route's identity in the traces below; it is the route's cls.
struct Tag {
  int id;
  std::string *trace;
};

int AppendVar(void *cls, const char *name, const char *val) {
  auto *out = static_cast<std::string *>(cls);
  if (out->back() != '{') *out += ",";
  *out += std::string(name) + "=" + val;
  return 0;
}

int AppendSegment(void *cls, unsigned int index, const char *segment) {
  auto *out = static_cast<std::string *>(cls);
  if (!out->empty()) *out += ",";
  *out += std::to_string(index) + ":" + segment;
  return 0;
}

// Route callback: "<id>:<path>{name=val,...}".
void RecordRoute(void *cls, ox_route *route) {
  auto *tag = static_cast<Tag *>(cls);
  std::string &out = *tag->trace;
  out += std::to_string(tag->id) + ":" + ox_route_path(route) + "{";
  EXPECT_EQ(ox_route_vars_iter(route, AppendVar, &out), 0);
  out += "} ";
}

void NeverRoute(void *, ox_route *) { ADD_FAILURE() << "route ran"; }

int RecordTried(void *cls, const char *, ox_route *route) {
  // Appended piece by piece: GCC 12 at -O3 takes "d" + std::string for an
  // overlapping copy (a false -Wrestrict inside libstdc++).
  auto *out = static_cast<std::string *>(cls);
  *out += 'd';
  *out += std::to_string(static_cast<Tag *>(route->cls)->id);
  *out += ' ';
  return 0;
}

// A route list with its router, whose dispatches write one trace.
class Routes {
 public:
  Routes() = default;
  Routes(const Routes &) = delete;
  Routes &operator=(const Routes &) = delete;
  ~Routes() {
    ox_router_free(router_);
    ox_routes_cleanup(&head_);
  }

  // Adds |pattern| as route number size()+1 and returns the route.
  ox_route *Add(const char *pattern) {
    tags_.push_back({static_cast<int>(tags_.size()) + 1, &trace_});
    EXPECT_EQ(ox_routes_add(&head_, pattern, RecordRoute, &tags_.back()), 0)
        << pattern;
    ox_route *last = head_;
    while (last != nullptr && last->next != nullptr) last = last->next;
    return last;
  }

  ox_route *head() { return head_; }
  ox_router *router() {
    if (router_ == nullptr) router_ = ox_router_new(head_);
    return router_;
  }

  // Dispatches |path| and returns "<route trace> -> <result>".
  std::string Dispatch(const char *path,
                       ox_router_dispatch_cb dispatch_cb = nullptr,
                       ox_router_match_cb match_cb = nullptr) {
    trace_.clear();
    int rc = ox_router_dispatch2(router(), path, this, dispatch_cb, &trace_,
                                 match_cb);
    return trace_ + "-> " + std::to_string(rc);
  }

 private:
  ox_route *head_ = nullptr;
  ox_router *router_ = nullptr;
  std::deque<Tag> tags_;
  std::string trace_;
};

TEST(OxRouter, PatternsMatchOnlyWholePaths) {
  struct Case {
    const char *pattern;
    const char *paths[5];
    const char *taken;  // '1' per path the pattern takes
  };
  const Case cases[] = {
      {"/download",
       {"/download", "/download/abc", "x/download", "/downloa", ""},
       "10000"},
      {"/a|/b", {"/a", "/b", "/a/x", "x/b", "/ab"}, "11000"},
      {"/foo/[0-9]+",
       {"/foo/1", "/foo/123", "/foo/123x", "/foo/", "/foo/1/"},
       "11000"},
      {"", {"", "/", "x", "", ""}, "10011"},
      {"/a?", {"", "/", "/a", "a", "//"}, "01100"},
      {"/x$|/y", {"/x", "/y", "/x\n", "/yy", "/y\n"}, "11000"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern);
    Routes r;
    r.Add(c.pattern);
    std::string taken;
    for (const char *path : c.paths) {
      taken += r.Dispatch(path).back() == '0' ? "1" : "0";
    }
    EXPECT_EQ(taken, c.taken);
  }
}

TEST(OxRoutes, RefusesBadPatternsAndUtfMode) {
  const char *patterns[] = {"(",        "[a-",    "a)(b",
                            "*x",       "\\",     "(?P<n>a)(?P<n>b)",
                            "(*UTF)/x", "(*UTF)", "(?<=a+)b"};
  ox_route *head = nullptr;
  ASSERT_EQ(ox_routes_add(&head, "/kept", NeverRoute, nullptr), 0);
  ox_route *kept = head;
  errno = 4242;
  for (const char *pattern : patterns) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(ox_routes_add(&head, pattern, NeverRoute, nullptr), EINVAL);
    EXPECT_EQ(head, kept);
    EXPECT_EQ(head->next, nullptr);
  }
  EXPECT_EQ(ox_routes_add(nullptr, "/a", NeverRoute, nullptr), EINVAL);
  EXPECT_EQ(ox_routes_add(&head, nullptr, NeverRoute, nullptr), EINVAL);
  EXPECT_EQ(ox_routes_add(&head, "/a", nullptr, nullptr), EINVAL);
  EXPECT_EQ(errno, 4242);
  EXPECT_EQ(ox_routes_cleanup(&head), 0);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(ox_routes_cleanup(nullptr), EINVAL);
}

TEST(OxRouter, FirstMatchWinsAndStops) {
  Routes r;
  r.Add("/x");
  r.Add("/users/(?P<id>[0-9]+)");
  ox_route *third = r.Add("/users/.*");
  third->rc = 12345;
  EXPECT_EQ(r.Dispatch("/users/42", RecordTried),
            "d1 d2 2:/users/42{id=42} -> 0");
  EXPECT_EQ(third->rc, 12345);  // never tried
  EXPECT_EQ(r.Dispatch("/users/me", RecordTried),
            "d1 d2 d3 3:/users/me{} -> 0");
}

TEST(OxRouter, NoMatchTriesEveryRouteAndLeavesPathAndUserData) {
  Routes r;
  ox_route *first = r.Add("/a");
  ox_route *second = r.Add("/b");
  EXPECT_EQ(r.Dispatch("/a"), "1:/a{} -> 0");
  const char *path = ox_route_path(first);
  EXPECT_EQ(r.Dispatch("/c", RecordTried), "d1 d2 -> 2");
  EXPECT_LT(first->rc, 0);
  EXPECT_LT(second->rc, 0);
  EXPECT_EQ(ox_route_path(first), path);
  EXPECT_EQ(ox_route_user_data(first), &r);
  EXPECT_EQ(ox_route_path(second), nullptr);
  EXPECT_EQ(ox_route_user_data(second), nullptr);
}

TEST(OxRouter, MatcherErrorCountsAsNoMatch) {
  // A capture repeated this often exhausts the JIT's default stack.
  Routes r;
  ox_route *first = r.Add("(a)*");
  r.Add(".*!");
  std::string path(200000, 'a');
  path += "!";
  EXPECT_EQ(r.Dispatch(path.c_str()), "2:" + path + "{} -> 0");
  EXPECT_EQ(first->rc, PCRE2_ERROR_JIT_STACKLIMIT);
  EXPECT_EQ(ox_route_path(first), nullptr);
}

int StopAtMatch(void *, ox_route *) { return 7; }
int StopBeforeFirst(void *, const char *, ox_route *) { return -1; }

TEST(OxRouter, CallbacksStopTheDispatchBeforeOrAfterTheMatch) {
  Routes r;
  ox_route *first = r.Add("/a");
  first->rc = 12345;
  char path[] = "/a";
  EXPECT_EQ(r.Dispatch(path, StopBeforeFirst), "-> -1");
  EXPECT_EQ(first->rc, 12345);  // not tried
  EXPECT_EQ(ox_route_path(first), nullptr);
  // Stopped after the match: the route is written, its callback not run.
  EXPECT_EQ(r.Dispatch(path, nullptr, StopAtMatch), "-> 7");
  EXPECT_EQ(ox_route_path(first), path);  // the caller's pointer, no copy
  EXPECT_EQ(ox_route_user_data(first), &r);
  EXPECT_GE(first->rc, 0);
}

TEST(OxRouter, RefusesNullsWithoutTouchingErrno) {
  Routes r;
  r.Add("/a");
  errno = 4242;
  EXPECT_EQ(ox_router_dispatch(nullptr, "/a", nullptr), EINVAL);
  EXPECT_EQ(ox_router_dispatch(r.router(), nullptr, nullptr), EINVAL);
  EXPECT_EQ(errno, 4242);
  ox_router_free(nullptr);
  EXPECT_EQ(ox_router_new(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_route_path(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_route_user_data(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ox_route_vars_iter(nullptr, AppendVar, nullptr), EINVAL);
  EXPECT_EQ(ox_route_vars_iter(r.head(), nullptr, nullptr), EINVAL);
  EXPECT_EQ(ox_route_segments_iter(nullptr, AppendSegment, nullptr), EINVAL);
  EXPECT_EQ(ox_route_segments_iter(r.head(), nullptr, nullptr), EINVAL);
}

TEST(OxRouter, RoutesOutliveARouterAndLaterTailsAreSeen) {
  Routes r;
  r.Add("/a");
  ox_router *other = ox_router_new(r.head());
  ASSERT_NE(other, nullptr);
  ox_router_free(other);
  EXPECT_EQ(r.Dispatch("/a"), "1:/a{} -> 0");
  r.Add("/b");  // appended behind the head the router keeps
  EXPECT_EQ(r.Dispatch("/b"), "2:/b{} -> 0");
}

TEST(OxRouter, RouteWithTooSmallMatchDataIsStillTaken) {
  Routes r;
  ox_route *route = r.Add("/(a)(b)(c)");
  pcre2_match_data_8 *own = route->match;
  route->match = pcre2_match_data_create_8(1, nullptr);
  route->ovector = pcre2_get_ovector_pointer_8(route->match);
  EXPECT_EQ(r.Dispatch("/abc"), "1:/abc{} -> 0");
  EXPECT_EQ(route->rc, 0);
  std::string segments;
  EXPECT_EQ(ox_route_segments_iter(route, AppendSegment, &segments), 0);
  EXPECT_EQ(segments, "");
  pcre2_match_data_free_8(route->match);
  route->match = own;
  route->ovector = pcre2_get_ovector_pointer_8(own);
}

TEST(OxRoute, VarsFollowThePatternOrderAndSkipUnsetGroups) {
  Routes r;
  r.Add("/(?P<zeta>[a-z]+)/(?P<alpha>[0-9]+)(?:/(?P<mid>x))?(/(?P<b>y))?");
  EXPECT_EQ(r.Dispatch("/abc/12/x"),
            "1:/abc/12/x{zeta=abc,alpha=12,mid=x} -> 0");
  EXPECT_EQ(r.Dispatch("/abc/12/y"), "1:/abc/12/y{zeta=abc,alpha=12,b=y} -> 0");
  EXPECT_EQ(r.Dispatch("/abc/12"), "1:/abc/12{zeta=abc,alpha=12} -> 0");
  // After a failed attempt there is nothing to visit.
  EXPECT_EQ(r.Dispatch("/nope"), "-> 2");
  std::string vars = "{";
  EXPECT_EQ(ox_route_vars_iter(r.head(), AppendVar, &vars), 0);
  EXPECT_EQ(vars, "{");
}

TEST(OxRoute, SegmentsCountFromZeroAndKeepIndexesOverUnsetGroups) {
  Routes r;
  ox_route *route = r.Add("/(a)?(b)?/(?P<n>[0-9]+)/?(z)?");
  ASSERT_EQ(r.Dispatch("/b/12"), "1:/b/12{n=12} -> 0");
  std::string segments;
  EXPECT_EQ(ox_route_segments_iter(route, AppendSegment, &segments), 0);
  EXPECT_EQ(segments, "1:b,2:12");
}

int StopWith9(void *cls, const char *, const char *) {
  ++*static_cast<int *>(cls);
  return 9;
}
int SegmentStopWith9(void *cls, unsigned int, const char *) {
  ++*static_cast<int *>(cls);
  return 9;
}

TEST(OxRoute, IteratorsStopWithTheCallbacksValue) {
  Routes r;
  ox_route *route = r.Add("/(?P<a>.)(?P<b>.)");
  ASSERT_EQ(r.Dispatch("/xy"), "1:/xy{a=x,b=y} -> 0");
  int calls = 0;
  EXPECT_EQ(ox_route_vars_iter(route, StopWith9, &calls), 9);
  EXPECT_EQ(ox_route_segments_iter(route, SegmentStopWith9, &calls), 9);
  EXPECT_EQ(calls, 2);
}

TEST(OxRoute, LongCapturesAreCopiedWholeOrReportNoMemory) {
  Routes r;
  ox_route *route = r.Add("/(?P<long>.*)");
  std::string text(300, 'q');
  std::string path = "/" + text;
  ASSERT_EQ(r.Dispatch(path.c_str()), "1:" + path + "{long=" + text + "} -> 0");
  std::string segments;
  oxtest::alloc_arm(1);
  EXPECT_EQ(ox_route_segments_iter(route, AppendSegment, &segments), ENOMEM);
  std::string vars = "{";
  oxtest::alloc_arm(1);
  EXPECT_EQ(ox_route_vars_iter(route, AppendVar, &vars), ENOMEM);
  oxtest::alloc_disarm();
  EXPECT_EQ(segments + vars, "{");
}

void CountRun(void *cls, ox_route *) { ++*static_cast<int *>(cls); }

TEST(OxRouter, DispatchAllocatesNothing) {
  int runs = 0;
  ox_route *head = nullptr;
  for (const char *pattern :
       {"/a", "/users/(?P<id>[0-9]+)", "/files/(.*)/(?P<name>[^/]+)"}) {
    ASSERT_EQ(ox_routes_add(&head, pattern, CountRun, &runs), 0);
  }
  ox_router *router = ox_router_new(head);
  ASSERT_NE(router, nullptr);
  const char *paths[] = {"/a", "/users/42", "/files/x/y/z", "/none", ""};
  int results[2] = {0, 0};  // dispatches that ran a route, that did not
  ox__alloc_hooks_reset();
#ifdef OX_TEST_COUNT_MALLOC
  unsigned long std_before = std_alloc_calls.load();
#endif
  for (int round = 0; round < 3; ++round) {
    for (const char *path : paths) {
      ++results[ox_router_dispatch(router, path, nullptr) == 0 ? 0 : 1];
    }
  }
#ifdef OX_TEST_COUNT_MALLOC
  EXPECT_EQ(std_alloc_calls.load() - std_before, 0u);
#endif
  EXPECT_EQ(ox__alloc_calls(), 0u);
  EXPECT_EQ(runs, 9);
  EXPECT_EQ(results[0], 9);
  EXPECT_EQ(results[1], 6);
  ox_router_free(router);
  ox_routes_cleanup(&head);
}

void NeverServe(void *, ox_httpreq *, ox_httpres *) {}

TEST(OxRouter, ServerRouteLookupAllocatesNothing) {
  ox__httproutes table{};
  for (const char *pattern :
       {"/a", "/users/(?P<id>[0-9]+)", "/files/(.*)/(?P<name>[^/]+)"}) {
    ASSERT_EQ(ox__httproutes_add(&table, "GET", pattern, NeverServe, nullptr),
              0);
  }
  ox__httproutematch match{};
  // This thread's match data is made once, on its first lookup.
  ASSERT_EQ(ox__httproutes_find(&table, "GET", "/a", ox__httproute_match_limit, &match), 0);
  const char *paths[] = {"/a", "/users/42", "/files/x/y/z", "/none", ""};
  int taken = 0;
  ox__alloc_hooks_reset();
#ifdef OX_TEST_COUNT_MALLOC
  unsigned long std_before = std_alloc_calls.load();
#endif
  for (int round = 0; round < 3; ++round) {
    for (const char *path : paths) {
      ASSERT_EQ(ox__httproutes_find(&table, "HEAD", path, ox__httproute_match_limit, &match), 0);
      if (match.route != nullptr) ++taken;
    }
  }
#ifdef OX_TEST_COUNT_MALLOC
  EXPECT_EQ(std_alloc_calls.load() - std_before, 0u);
#endif
  EXPECT_EQ(ox__alloc_calls(), 0u);
  EXPECT_EQ(taken, 9);
  ox__httproutes_free(&table);
}

void Quiet(void *, ox_route *) {}

TEST(OxRoutes, FailedAddLeavesTheListAsItWas) {
  unsigned long count = oxtest::alloc_torture([](unsigned long fail_at) {
    ox_route *head = nullptr;
    EXPECT_EQ(ox_routes_add(&head, "/first", Quiet, nullptr), 0);
    ox_route *first = head;
    oxtest::alloc_arm(fail_at);
    int rc = ox_routes_add(&head, "/second/(?P<id>[0-9]+)", Quiet, nullptr);
    unsigned long calls = oxtest::alloc_disarm();
    EXPECT_EQ(head, first);
    if (fail_at == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_NE(head->next, nullptr);
    } else {
      EXPECT_EQ(rc, ENOMEM);
      EXPECT_EQ(head->next, nullptr);
    }
    ox_routes_cleanup(&head);
    return calls;
  });
  EXPECT_GT(count, 0u);
}

}  // namespace
