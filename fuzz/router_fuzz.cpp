// Router: patterns added as routes, paths dispatched over them, captures
// read back.  A second compile of each pattern, run by PCRE2's interpreter
// rather than the JIT, tells which route must take a path (the first that
// matches it whole) and what its groups must hold.
//
// Input: text lines.  The lines before the first empty one are patterns,
// those after it paths; without an empty line every line is both.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "input.h"
#include "ombrix.h"
#include "ox_routes.h"

namespace {

constexpr size_t max_patterns = 8;
constexpr size_t max_paths = 16;
// Sentinel results of the dispatch and match callbacks.
constexpr int stopped_before = 1234;
constexpr int stopped_on_match = 4321;

struct code_free {
  void operator()(pcre2_code_8 *c) const { pcre2_code_free_8(c); }
};
struct match_free {
  void operator()(pcre2_match_data_8 *m) const { pcre2_match_data_free_8(m); }
};
struct context_free {
  void operator()(pcre2_match_context_8 *c) const {
    pcre2_match_context_free_8(c);
  }
};

// What the interpreter says of one pattern and one path.
enum class Verdict { no, yes, unknown };

struct Reference {
  std::unique_ptr<pcre2_code_8, code_free> code;
  std::unique_ptr<pcre2_match_data_8, match_free> match;
  Verdict verdict = Verdict::no;
  // What the iterators must give after a match: "index=text", "name=text".
  std::vector<std::string> segments, vars;
};

struct Run {
  int calls = 0;            // route callbacks run
  ox_route *ran = nullptr;  // the route whose callback ran
  void *user_data = nullptr;
  size_t stop_before = 0;  // the dispatch callback stops at this route
  size_t tried = 0;        // routes the dispatch callback saw
};

void on_route(void *cls, ox_route *route) {
  auto *run = static_cast<Run *>(cls);
  run->calls++;
  run->ran = route;
  run->user_data = ox_route_user_data(route);
}

int on_dispatch(void *cls, const char *path, ox_route *route) {
  (void)path;
  (void)route;
  auto *run = static_cast<Run *>(cls);
  return run->tried++ == run->stop_before ? stopped_before : 0;
}

int on_match(void *cls, ox_route *route) {
  (void)route;
  (void)cls;
  return stopped_on_match;
}

// Iterator callbacks record "index=text" or "name=text" and stop with 5
// once |limit| entries are recorded (0: never).
struct Trace {
  std::vector<std::string> seen;
  size_t limit = 0;
};

int trace_segment(void *cls, unsigned int index, const char *segment) {
  auto *t = static_cast<Trace *>(cls);
  t->seen.push_back(std::to_string(index) + "=" + segment);
  return t->seen.size() == t->limit ? 5 : 0;
}

int trace_var(void *cls, const char *name, const char *val) {
  auto *t = static_cast<Trace *>(cls);
  t->seen.push_back(std::string(name) + "=" + val);
  return t->seen.size() == t->limit ? 5 : 0;
}

// Runs the interpreter on |path| and fills the expected traces.  Its match
// limit is lower than the JIT's default, so a pattern that backtracks
// without end gives "unknown" instead of slowing every input.
void reference_match(Reference &ref, const std::string &path,
                     pcre2_match_context_8 *ctx) {
  int rc =
      pcre2_match_8(ref.code.get(), reinterpret_cast<PCRE2_SPTR8>(path.c_str()),
                    path.size(), 0, 0, ref.match.get(), ctx);
  ref.segments.clear();
  ref.vars.clear();
  if (rc == PCRE2_ERROR_NOMATCH) {
    ref.verdict = Verdict::no;
    return;
  }
  if (rc <= 0) {
    ref.verdict = Verdict::unknown;
    return;
  }
  ref.verdict = Verdict::yes;
  PCRE2_SIZE *ov = pcre2_get_ovector_pointer_8(ref.match.get());
  auto group = [&](uint32_t n) -> std::string {
    if (n >= static_cast<uint32_t>(rc) || ov[2 * n] == PCRE2_UNSET) return "-";
    size_t start = ov[2 * n], end = ov[2 * n + 1];
    return path.substr(start, end > start ? end - start : 0);
  };
  for (uint32_t n = 1; n < static_cast<uint32_t>(rc); n++) {
    if (ov[2 * n] != PCRE2_UNSET) {
      ref.segments.push_back(std::to_string(n - 1) + "=" + group(n));
    }
  }
  uint32_t count = 0, entry_size = 0;
  PCRE2_SPTR8 table = nullptr;
  pcre2_pattern_info_8(ref.code.get(), PCRE2_INFO_NAMECOUNT, &count);
  pcre2_pattern_info_8(ref.code.get(), PCRE2_INFO_NAMEENTRYSIZE, &entry_size);
  pcre2_pattern_info_8(ref.code.get(), PCRE2_INFO_NAMETABLE, &table);
  // The table is sorted by name; the iterator goes in group order.
  std::vector<std::pair<uint32_t, std::string>> names;
  for (uint32_t i = 0; i < count; i++) {
    const unsigned char *e = table + i * entry_size;
    names.emplace_back((uint32_t{e[0]} << 8) | e[1],
                       reinterpret_cast<const char *>(e + 2));
  }
  std::sort(names.begin(), names.end());
  for (const auto &[n, name] : names) {
    if (n < static_cast<uint32_t>(rc) && ov[2 * n] != PCRE2_UNSET) {
      ref.vars.push_back(name + "=" + group(n));
    }
  }
}

void check_captures(ox_route *route, const Reference &ref) {
  Trace seg, var;
  OXF_CHECK(ox_route_segments_iter(route, trace_segment, &seg) == 0);
  OXF_CHECK(ox_route_vars_iter(route, trace_var, &var) == 0);
  OXF_CHECK(seg.seen == ref.segments);
  OXF_CHECK(var.seen == ref.vars);
  // A callback's non-zero result stops the walk and comes back unchanged.
  Trace stopped{{}, 2};
  int rc = ox_route_vars_iter(route, trace_var, &stopped);
  OXF_CHECK(rc == (ref.vars.size() >= 2 ? 5 : 0));
  OXF_CHECK(stopped.seen.size() == std::min<size_t>(ref.vars.size(), 2));
}

std::vector<std::string> split_lines(const uint8_t *data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += static_cast<char>(data[i]);
    }
  }
  // Patterns and paths are C strings: each line ends at its first NUL.
  for (auto &line : lines) line.resize(strlen(line.c_str()));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> lines = split_lines(data, size);
  std::vector<std::string> patterns, paths;
  size_t blank = 0;
  while (blank < lines.size() && !lines[blank].empty()) blank++;
  patterns.assign(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(blank));
  if (blank < lines.size()) {
    paths.assign(lines.begin() + static_cast<ptrdiff_t>(blank) + 1,
                 lines.end());
  } else {
    paths = patterns;
  }
  if (patterns.size() > max_patterns) patterns.resize(max_patterns);
  if (paths.size() > max_paths) paths.resize(max_paths);

  Run run;
  ox_route *routes = nullptr;
  std::vector<Reference> refs;
  std::vector<ox_route *> added;
  for (const std::string &pattern : patterns) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    Reference ref;
    ref.code.reset(pcre2_compile_8(
        reinterpret_cast<PCRE2_SPTR8>(pattern.c_str()), PCRE2_ZERO_TERMINATED,
        PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_NEVER_UTF, &error, &offset,
        nullptr));
    int rc = ox_routes_add(&routes, pattern.c_str(), on_route, &run);
    // The JIT may refuse what the interpreter takes (memory, machine), but
    // never the reverse.
    if (rc != 0) {
      OXF_CHECK(rc == EINVAL || rc == ENOMEM || rc == ENOTSUP);
      continue;
    }
    OXF_CHECK(ref.code != nullptr);
    ref.match.reset(
        pcre2_match_data_create_from_pattern_8(ref.code.get(), nullptr));
    OXF_CHECK(ref.match != nullptr);
    refs.push_back(std::move(ref));
    // Routes are appended: the new one is the list's last.
    ox_route *last = routes;
    while (last->next != nullptr) last = last->next;
    added.push_back(last);
    OXF_CHECK(added.size() == 1 || added[added.size() - 2]->next == last);
  }

  ox_router *router = ox_router_new(routes);
  OXF_CHECK((router == nullptr) == (routes == nullptr));
  std::unique_ptr<pcre2_match_context_8, context_free> ctx{
      pcre2_match_context_create_8(nullptr)};
  pcre2_set_match_limit_8(ctx.get(), 100000);

  for (size_t p = 0; router != nullptr && p < paths.size(); p++) {
    const char *path = paths[p].c_str();
    for (Reference &ref : refs) reference_match(ref, paths[p], ctx.get());

    // Plain dispatch: the first route that matches runs, and only it.
    run = Run{};
    int rc = ox_router_dispatch(router, path, &paths[p]);
    OXF_CHECK(rc == 0 || rc == ENOENT);
    OXF_CHECK(run.calls == (rc == 0 ? 1 : 0));
    size_t taken = added.size();
    if (rc == 0) {
      taken = 0;
      while (taken < added.size() && added[taken] != run.ran) taken++;
      OXF_CHECK(taken < added.size());
      OXF_CHECK(ox_route_path(run.ran) == path);
      OXF_CHECK(run.user_data == &paths[p]);
    }
    // Each route tried before was refused.  The JIT's own errors (its
    // stack, its match limit) count as refusals, so only a plain "no match"
    // is held against the interpreter's verdict.
    for (size_t i = 0; i < taken; i++) {
      OXF_CHECK(added[i]->rc < 0);
      if (added[i]->rc == PCRE2_ERROR_NOMATCH) {
        OXF_CHECK(refs[i].verdict != Verdict::yes);
      }
      // After a failed attempt the iterators call nothing.
      Trace none;
      OXF_CHECK(ox_route_segments_iter(added[i], trace_segment, &none) == 0);
      OXF_CHECK(ox_route_vars_iter(added[i], trace_var, &none) == 0);
      OXF_CHECK(none.seen.empty());
    }
    if (rc == 0) {
      OXF_CHECK(refs[taken].verdict != Verdict::no);
      if (refs[taken].verdict == Verdict::yes) {
        check_captures(added[taken], refs[taken]);
      }
    }

    // With callbacks: the dispatch callback stops before route k, the match
    // callback stops instead of the route's callback.  The matcher gives
    // the same answers again, so the plain dispatch tells the outcome.
    run = Run{};
    run.stop_before = p % (added.size() + 1);
    bool with_match_cb = (p & 1) != 0;
    rc = ox_router_dispatch2(router, path, nullptr, on_dispatch, &run,
                             with_match_cb ? on_match : nullptr);
    int expect =
        taken < run.stop_before
            ? (with_match_cb ? stopped_on_match : 0)
            : (run.stop_before < added.size() ? stopped_before : ENOENT);
    OXF_CHECK(rc == expect);
    OXF_CHECK(run.calls == (rc == 0 ? 1 : 0));
  }

  ox_router_free(router);
  OXF_CHECK(ox_routes_cleanup(&routes) == 0 && routes == nullptr);
  return 0;
}
