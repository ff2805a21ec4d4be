// Micro-benchmarks: each library operation beside the plainest baseline that
// does the same work, so bench/micro/run can print ours / baseline.
//
// Benchmark names are "<case>/<impl>/<size>": the impl "ombrix" is ours and
// any other is the baseline of the same case and size.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ombrix.h"
#include "ox_extra.h"
#include "ox_httpcond.h"
#include "ox_httpenc.h"
#include "ox_mime.h"
#include "ox_httproute.h"
#include "ox_httpstats.h"
#include "ox_routes.h"
#include "ox_wsframe.h"

namespace {

// ---------------------------------------------------------------------------
// Router dispatch
// ---------------------------------------------------------------------------

void route_noop(void *cls, ox_route *route) {
  (void)cls;
  benchmark::DoNotOptimize(route);
}

// A route list "/route/0/(?P<id>[0-9]+)" .. "/route/N-1/...", its router,
// and the paths that match the last route and none.
struct route_fixture {
  ox_route *routes = nullptr;
  ox_router *router = nullptr;
  std::string last;
  std::string none;

  explicit route_fixture(int count) {
    for (int i = 0; i < count; i++) {
      std::string pattern = "/route/" + std::to_string(i) + "/(?P<id>[0-9]+)";
      if (ox_routes_add(&routes, pattern.c_str(), route_noop, nullptr) != 0) {
        fprintf(stderr, "micro_bench: ox_routes_add(%s) failed\n",
                pattern.c_str());
        abort();
      }
    }
    router = ox_router_new(routes);
    last = "/route/" + std::to_string(count - 1) + "/12345";
    none = "/nothing/here/12345";
  }
  ~route_fixture() {
    ox_router_free(router);
    ox_routes_cleanup(&routes);
  }
  route_fixture(const route_fixture &) = delete;
  route_fixture &operator=(const route_fixture &) = delete;
};

void router_ombrix(benchmark::State &state, bool match) {
  route_fixture f(static_cast<int>(state.range(0)));
  const char *path = match ? f.last.c_str() : f.none.c_str();
  int expected = match ? 0 : ENOENT;
  for (auto _ : state) {
    int rc = ox_router_dispatch(f.router, path, nullptr);
    if (rc != expected) state.SkipWithError("unexpected dispatch result");
    benchmark::DoNotOptimize(rc);
  }
}

// The same compiled patterns and match data, matched in a bare loop: the
// floor a dispatch over PCRE2 can reach.
void router_pcre2(benchmark::State &state, bool match) {
  route_fixture f(static_cast<int>(state.range(0)));
  struct compiled {
    pcre2_code_8 *re;
    pcre2_match_data_8 *md;
  };
  std::vector<compiled> list;
  for (ox_route *r = f.routes; r != nullptr; r = r->next) {
    list.push_back({r->re, r->match});
  }
  const char *path = match ? f.last.c_str() : f.none.c_str();
  for (auto _ : state) {
    size_t len = strlen(path);
    const auto *subject = reinterpret_cast<PCRE2_SPTR8>(path);
    int found = -1;
    for (size_t i = 0; i < list.size(); i++) {
      if (pcre2_jit_match_8(list[i].re, subject, len, 0, 0, list[i].md,
                            nullptr) >= 0) {
        found = static_cast<int>(i);
        route_noop(nullptr, nullptr);
        break;
      }
    }
    if ((found >= 0) != match) state.SkipWithError("unexpected match result");
    benchmark::DoNotOptimize(found);
  }
}

// ---------------------------------------------------------------------------
// Server routes: the lookup every request of a routed server makes
// ---------------------------------------------------------------------------

void srvroute_noop(void *cls, ox_httpreq *req, ox_httpres *res) {
  (void)cls;
  (void)req;
  (void)res;
}

// A server's table of N GET routes "/r0/(?P<id>[0-9]+)" .. "/rN-1/...", and
// the path that only the last one takes.  Built before any benchmark runs
// and only read while they do, as a listening server's table is read by its
// serving threads at once.
struct srvroute_fixture {
  ox__httproutes routes{};
  std::string last;

  explicit srvroute_fixture(int count) {
    for (int i = 0; i < count; i++) {
      std::string pattern = "/r" + std::to_string(i) + "/(?P<id>[0-9]+)";
      if (ox__httproutes_add(&routes, "GET", pattern.c_str(), srvroute_noop,
                             nullptr) != 0) {
        fprintf(stderr, "micro_bench: ox__httproutes_add(%s) failed\n",
                pattern.c_str());
        abort();
      }
    }
    last = "/r" + std::to_string(count - 1) + "/12345";
  }
  ~srvroute_fixture() { ox__httproutes_free(&routes); }
  srvroute_fixture(const srvroute_fixture &) = delete;
  srvroute_fixture &operator=(const srvroute_fixture &) = delete;
};

const srvroute_fixture &srvroute_table(int64_t count) {
  static const srvroute_fixture ten(10);
  static const srvroute_fixture hundred(100);
  return count == 10 ? ten : hundred;
}

// One lookup of a GET request that the last route takes, from as many
// threads as the benchmark runs: CPU time per lookup, all threads summed.
void srvroute_ombrix(benchmark::State &state) {
  const srvroute_fixture &f = srvroute_table(state.range(0));
  ox__httproutematch match;
  for (auto _ : state) {
    int rc = ox__httproutes_find(&f.routes, "GET", f.last.c_str(),
                                 ox__httproute_match_limit, &match);
    if (rc != 0 || match.route == nullptr) {
      state.SkipWithError("the last route did not take the path");
    }
    benchmark::DoNotOptimize(match);
  }
}

// The same compiled patterns in a bare loop, with the method compared and
// match data of the thread's own: the floor of a lookup over PCRE2.
void srvroute_pcre2(benchmark::State &state) {
  const srvroute_fixture &f = srvroute_table(state.range(0));
  pcre2_match_data_8 *md =
      pcre2_match_data_create_8(ox__httproute_groups_max + 1, nullptr);
  const char *path = f.last.c_str();
  for (auto _ : state) {
    size_t len = strlen(path);
    const auto *subject = reinterpret_cast<PCRE2_SPTR8>(path);
    const ox__httproute *found = nullptr;
    for (size_t i = 0; i < f.routes.count; i++) {
      const ox__httproute *r = &f.routes.list[i];
      if (pcre2_jit_match_8(r->re, subject, len, 0, 0, md, nullptr) > 0 &&
          strcmp(r->method, "GET") == 0) {
        found = r;
        break;
      }
    }
    if (found == nullptr) state.SkipWithError("no route took the path");
    benchmark::DoNotOptimize(found);
  }
  pcre2_match_data_free_8(md);
}

// ---------------------------------------------------------------------------
// String map
// ---------------------------------------------------------------------------

// Header-like names and values: "X-Field-17" = "value-17-...".
struct pairs {
  std::vector<std::string> names;
  std::vector<std::string> vals;
  explicit pairs(int64_t count) {
    for (int64_t i = 0; i < count; i++) {
      names.push_back("X-Field-" + std::to_string(i));
      vals.push_back("value-" + std::to_string(i) + "-abcdefghij");
    }
  }
};

// One iteration builds a map of N pairs and releases it.
void strmap_add_ombrix(benchmark::State &state) {
  pairs p(state.range(0));
  for (auto _ : state) {
    ox_strmap *map = nullptr;
    for (size_t i = 0; i < p.names.size(); i++) {
      ox_strmap_add(&map, p.names[i].c_str(), p.vals[i].c_str());
    }
    benchmark::DoNotOptimize(map);
    ox_strmap_cleanup(&map);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void strmap_add_std(benchmark::State &state) {
  pairs p(state.range(0));
  for (auto _ : state) {
    std::unordered_map<std::string, std::string> map;
    for (size_t i = 0; i < p.names.size(); i++) {
      map.emplace(p.names[i], p.vals[i]);
    }
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One iteration looks one name up (cycling over all of them).
void strmap_get_ombrix(benchmark::State &state) {
  pairs p(state.range(0));
  ox_strmap *map = nullptr;
  for (size_t i = 0; i < p.names.size(); i++) {
    ox_strmap_add(&map, p.names[i].c_str(), p.vals[i].c_str());
  }
  size_t i = 0;
  for (auto _ : state) {
    const char *val = ox_strmap_get(map, p.names[i].c_str());
    benchmark::DoNotOptimize(val);
    if (++i == p.names.size()) i = 0;
  }
  ox_strmap_cleanup(&map);
}

void strmap_get_std(benchmark::State &state) {
  pairs p(state.range(0));
  std::unordered_map<std::string, std::string> map;
  for (size_t i = 0; i < p.names.size(); i++) map.emplace(p.names[i], p.vals[i]);
  size_t i = 0;
  for (auto _ : state) {
    // A lookup by a C string, as ox_strmap_get gets it.
    auto it = map.find(p.names[i].c_str());
    const char *val = it != map.end() ? it->second.c_str() : nullptr;
    benchmark::DoNotOptimize(val);
    if (++i == p.names.size()) i = 0;
  }
}

// One iteration gives one present name a new value.
void strmap_set_ombrix(benchmark::State &state) {
  pairs p(state.range(0));
  ox_strmap *map = nullptr;
  for (size_t i = 0; i < p.names.size(); i++) {
    ox_strmap_add(&map, p.names[i].c_str(), p.vals[i].c_str());
  }
  size_t i = 0;
  for (auto _ : state) {
    int rc = ox_strmap_set(&map, p.names[i].c_str(), "another-value-0123");
    benchmark::DoNotOptimize(rc);
    if (++i == p.names.size()) i = 0;
  }
  ox_strmap_cleanup(&map);
}

void strmap_set_std(benchmark::State &state) {
  pairs p(state.range(0));
  std::unordered_map<std::string, std::string> map;
  for (size_t i = 0; i < p.names.size(); i++) map.emplace(p.names[i], p.vals[i]);
  size_t i = 0;
  for (auto _ : state) {
    map[p.names[i].c_str()] = "another-value-0123";
    benchmark::DoNotOptimize(map);
    if (++i == p.names.size()) i = 0;
  }
}

// ---------------------------------------------------------------------------
// String buffer
// ---------------------------------------------------------------------------

constexpr char str_piece[] = "<li>item of a list</li>\n";  // 24 bytes

// One iteration: a new buffer, N appends of 24 bytes, release.
void str_write_ombrix(benchmark::State &state) {
  for (auto _ : state) {
    ox_str *str = ox_str_new();
    for (int64_t i = 0; i < state.range(0); i++) {
      ox_str_write(str, str_piece, sizeof(str_piece) - 1);
    }
    benchmark::DoNotOptimize(ox_str_content(str));
    ox_str_free(str);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(sizeof(str_piece) - 1));
}

void str_write_std(benchmark::State &state) {
  for (auto _ : state) {
    std::string str;
    for (int64_t i = 0; i < state.range(0); i++) {
      str.append(str_piece, sizeof(str_piece) - 1);
    }
    benchmark::DoNotOptimize(str.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(sizeof(str_piece) - 1));
}

// One iteration: a new buffer, N formatted appends, release.
void str_printf_ombrix(benchmark::State &state) {
  for (auto _ : state) {
    ox_str *str = ox_str_new();
    for (int64_t i = 0; i < state.range(0); i++) {
      ox_str_printf(str, "<li id=\"n%ld\">%s</li>\n", static_cast<long>(i),
                    "item");
    }
    benchmark::DoNotOptimize(ox_str_content(str));
    ox_str_free(str);
  }
}

// The same formatting through snprintf into a stack buffer, appended to a
// std::string.
void str_printf_std(benchmark::State &state) {
  for (auto _ : state) {
    std::string str;
    for (int64_t i = 0; i < state.range(0); i++) {
      char tmp[64];
      int n = snprintf(tmp, sizeof(tmp), "<li id=\"n%ld\">%s</li>\n",
                       static_cast<long>(i), "item");
      str.append(tmp, static_cast<size_t>(n));
    }
    benchmark::DoNotOptimize(str.data());
  }
}

// ---------------------------------------------------------------------------
// Raw deflate
// ---------------------------------------------------------------------------

// Realistic markup: HTML blocks of English-like sentences drawn from a
// vocabulary by a fixed pseudo-random sequence (so every run is the same).
std::string make_text(size_t size) {
  static const char *const words[] = {
      "the",      "server",   "request",  "answer",   "library",  "which",
      "program",  "client",   "between",  "without",  "connection", "reply",
      "a",        "of",       "and",      "to",       "in",       "is",
      "that",     "for",      "it",       "with",     "as",       "was",
      "on",       "by",       "this",     "are",      "from",     "at",
      "river",    "morning",  "window",   "history",  "garden",   "yellow",
      "quietly",  "although", "remember", "mountain", "kitchen",  "village",
      "thousand", "question", "children", "evening",  "letters",  "travel",
      "number",   "simple",   "problem",  "between",  "country",  "friend",
      "summer",   "winter",   "open",     "close",    "people",   "water",
      "light",    "little",   "great",    "always",   "never",    "often",
      "under",    "around",   "before",   "after",    "paper",    "money",
      "market",   "station",  "morning",  "language", "picture",  "family",
      "notebook", "sentence", "forest",   "harbour",  "railway",  "engine",
      "weather",  "council",  "library",  "museum",   "teacher",  "student",
  };
  static const char *const tags[] = {"p", "li", "td", "span", "h3", "em"};
  constexpr size_t nwords = sizeof(words) / sizeof(words[0]);
  constexpr size_t ntags = sizeof(tags) / sizeof(tags[0]);
  uint64_t seed = 0x9e3779b97f4a7c15u;
  auto next = [&seed](uint64_t bound) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return (seed >> 33) % bound;
  };
  std::string text;
  text.reserve(size + 512);
  text += "<!DOCTYPE html>\n<html><head><title>Benchmark page</title></head>"
          "<body>\n";
  int block = 0;
  while (text.size() < size) {
    const char *tag = tags[next(ntags)];
    text += "<div class=\"entry\" id=\"e" + std::to_string(block++) + "\"><";
    text += tag;
    text += ">";
    uint64_t sentences = 1 + next(4);
    for (uint64_t s = 0; s < sentences; s++) {
      uint64_t count = 4 + next(14);
      for (uint64_t w = 0; w < count; w++) {
        std::string word = words[next(nwords)];
        if (w == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
        text += word;
        text += w + 1 < count ? " " : (next(5) == 0 ? "? " : ". ");
      }
      if (next(6) == 0) text += std::to_string(next(100000)) + " ";
    }
    text += "</";
    text += tag;
    text += "></div>\n";
  }
  text.resize(size);
  return text;
}

void zcompress_ombrix(benchmark::State &state) {
  std::string text = make_text(static_cast<size_t>(state.range(0)));
  std::vector<Bytef> out(compressBound(text.size()));
  auto *src = reinterpret_cast<Bytef *>(text.data());
  uLongf size = 0;
  for (auto _ : state) {
    size = out.size();
    int rc = ox__zcompress(src, text.size(), out.data(), &size,
                           Z_DEFAULT_COMPRESSION);
    if (rc != 0) state.SkipWithError("ox__zcompress failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetLabel("out " + std::to_string(size) + " bytes");
}

// zlib alone, same parameters (raw deflate, 15 window bits, memory level 9,
// default strategy and level), its default allocator, one deflate call.
void zcompress_zlib(benchmark::State &state) {
  std::string text = make_text(static_cast<size_t>(state.range(0)));
  std::vector<Bytef> out(compressBound(text.size()));
  uLong size = 0;
  for (auto _ : state) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 9,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      state.SkipWithError("deflateInit2 failed");
      break;
    }
    stream.next_in = reinterpret_cast<Bytef *>(text.data());
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
      state.SkipWithError("deflate did not finish");
    }
    size = stream.total_out;
    deflateEnd(&stream);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetLabel("out " + std::to_string(size) + " bytes");
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

// Names "/mount0" .. "/mountN-1" and paths below them to look up.
struct mounts {
  std::vector<std::string> names;
  std::vector<std::string> paths;
  explicit mounts(int64_t count) {
    for (int64_t i = 0; i < count; i++) {
      names.push_back("/mount" + std::to_string(i));
    }
    // Lookups in an order unrelated to the table's.
    for (int64_t i = 0; i < count; i++) {
      int64_t k = (i * 7919) % count;
      paths.push_back(names[static_cast<size_t>(k)] + "/items/42?x=1");
    }
  }
};

void entrypoints_find_ombrix(benchmark::State &state) {
  mounts m(state.range(0));
  ox_entrypoints *table = ox_entrypoints_new();
  for (const auto &name : m.names) ox_entrypoints_add(table, name.c_str(), nullptr);
  size_t i = 0;
  for (auto _ : state) {
    ox_entrypoint *entry = nullptr;
    int rc = ox_entrypoints_find(table, &entry, m.paths[i].c_str());
    if (rc != 0) state.SkipWithError("entry point not found");
    benchmark::DoNotOptimize(entry);
    if (++i == m.paths.size()) i = 0;
  }
  ox_entrypoints_free(table);
}

// A sorted vector searched by the path's first segment as a string_view:
// the same search without making a copy of the name.
void entrypoints_find_std(benchmark::State &state) {
  mounts m(state.range(0));
  std::vector<std::pair<std::string, void *>> table;
  for (const auto &name : m.names) table.emplace_back(name, nullptr);
  std::sort(table.begin(), table.end());
  size_t i = 0;
  for (auto _ : state) {
    const char *path = m.paths[i].c_str();
    std::string_view seg(path);
    if (seg.size() > 1) {
      size_t slash = seg.find('/', 1);
      if (slash != std::string_view::npos) seg = seg.substr(0, slash);
    }
    auto it = std::lower_bound(
        table.begin(), table.end(), seg,
        [](const std::pair<std::string, void *> &e, std::string_view key) {
          return std::string_view(e.first) < key;
        });
    if (it == table.end() || it->first != seg) {
      state.SkipWithError("entry point not found");
    }
    benchmark::DoNotOptimize(it);
    if (++i == m.paths.size()) i = 0;
  }
}

// ---------------------------------------------------------------------------
// Static files: what each request costs before any byte of the file moves
// ---------------------------------------------------------------------------

// Accept-Encoding values browsers and curl send, cycled through.
constexpr const char *accept_values[] = {
    "gzip, deflate, br, zstd",
    "deflate, gzip, br, zstd",
    "gzip;q=1.0, identity;q=0.5, *;q=0",
    "br;q=1.0, gzip;q=0.8, *;q=0.1",
};

void accept_gzip_ombrix(benchmark::State &state) {
  size_t i = 0;
  for (auto _ : state) {
    bool gzip = ox__accept_gzip(accept_values[i]);
    benchmark::DoNotOptimize(gzip);
    if (++i == std::size(accept_values)) i = 0;
  }
}

// A substring search: what a program negotiating by hand does, ignoring
// q-values (so it is wrong for "gzip;q=0"), the floor of any parse.
void accept_gzip_strstr(benchmark::State &state) {
  size_t i = 0;
  for (auto _ : state) {
    bool gzip = strstr(accept_values[i], "gzip") != nullptr;
    benchmark::DoNotOptimize(gzip);
    if (++i == std::size(accept_values)) i = 0;
  }
}

constexpr const char *mime_paths[] = {
    "/assets/app.js",  "/index.html",     "/img/logo.PNG",
    "/fonts/a.woff2",  "/data/list.json", "/docs/README.md",
    "/video/clip.mp4", "/unknown.thing",
};

// The lower-cased extension looked up in a hash map of the same table.
void mime_lookup_std(benchmark::State &state) {
  std::unordered_map<std::string, const char *> table;
  for (const char *path : mime_paths) {
    std::string ext = strrchr(path, '.') + 1;
    for (char &c : ext) c = static_cast<char>(tolower(c));
    table[ext] = ox__mime_of(nullptr, path);
  }
  size_t i = 0;
  for (auto _ : state) {
    std::string ext = strrchr(mime_paths[i], '.') + 1;
    for (char &c : ext) c = static_cast<char>(tolower(c));
    auto it = table.find(ext);
    benchmark::DoNotOptimize(it);
    if (++i == std::size(mime_paths)) i = 0;
  }
}

void mime_lookup_ombrix(benchmark::State &state) {
  size_t i = 0;
  for (auto _ : state) {
    const char *type = ox__mime_of(nullptr, mime_paths[i]);
    benchmark::DoNotOptimize(type);
    if (++i == std::size(mime_paths)) i = 0;
  }
}

// A revalidation as a browser sends it: If-None-Match with our tag, and
// If-Modified-Since beside it (which then is not read).
struct revalidation {
  ox__validators v;
  std::string inm;
  revalidation() {
    struct stat st{};
    st.st_size = 1 << 20;
    st.st_mtim.tv_sec = 1700000000;
    ox__validators_of(st, &v);
    inm = v.etag;
  }
};

void conditional_ombrix(benchmark::State &state) {
  revalidation r;
  ox__cond_request req{true,    false,         nullptr,
                       nullptr, r.inm.c_str(), r.v.last_modified,
                       nullptr, nullptr};
  for (auto _ : state) {
    ox__range range;
    ox__cond cond = ox__cond_evaluate(req, r.v, r.v.etag, &range);
    if (cond != ox__cond::not_modified) state.SkipWithError("not a 304");
    benchmark::DoNotOptimize(cond);
  }
}

// One strcmp of the whole header with the tag: the floor of any check.
void conditional_strcmp(benchmark::State &state) {
  revalidation r;
  const char *header = r.inm.c_str();
  for (auto _ : state) {
    bool match = strcmp(header, r.v.etag) == 0;
    benchmark::DoNotOptimize(match);
  }
}

// ---------------------------------------------------------------------------
// WebSocket frames: what one small message costs on each side
// ---------------------------------------------------------------------------

// A masked text frame of |size| bytes of ASCII, as a browser sends it.
std::string ws_client_frame(size_t size) {
  static const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string text = make_text(size);
  std::string f = {static_cast<char>(0x81),
                   static_cast<char>(0x80 | size)};  // size <= 125
  f.append(reinterpret_cast<const char *>(mask), 4);
  for (size_t i = 0; i < size; i++) {
    f += static_cast<char>(text[i] ^ mask[i % 4]);
  }
  return f;
}

// One iteration reads the frame into a message: unmasking it in place and
// checking its UTF-8.  The reader changes the bytes, so each iteration
// starts from a fresh copy (a memcpy of 70 bytes, in the baseline too).
void wsread_ombrix(benchmark::State &state) {
  std::string pristine = ws_client_frame(static_cast<size_t>(state.range(0)));
  std::string work = pristine;
  ox__wsreader reader;
  for (auto _ : state) {
    memcpy(work.data(), pristine.data(), pristine.size());
    auto *data = reinterpret_cast<uint8_t *>(work.data());
    size_t len = work.size();
    ox__wsresult ev;
    ox__wsreader_next(&reader, &data, &len, &ev);
    if (ev.event != ox__wsevent::message) state.SkipWithError("no message");
    benchmark::DoNotOptimize(ev);
  }
  ox__wsreader_reset(&reader);
}

// The plain way: the header parsed, the payload unmasked a byte at a time
// and its UTF-8 checked a character at a time.
void wsread_bytewise(benchmark::State &state) {
  std::string pristine = ws_client_frame(static_cast<size_t>(state.range(0)));
  std::string work = pristine;
  for (auto _ : state) {
    memcpy(work.data(), pristine.data(), pristine.size());
    auto *p = reinterpret_cast<uint8_t *>(work.data());
    bool ok = (p[0] & 0x70) == 0 && (p[1] & 0x80) != 0;
    size_t size = p[1] & 0x7f;
    uint8_t *mask = p + 2;
    uint8_t *payload = p + 6;
    for (size_t i = 0; i < size; i++) payload[i] ^= mask[i % 4];
    for (size_t i = 0; i < size && ok;) {
      uint8_t b = payload[i];
      size_t n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
      for (size_t k = 1; k < n && ok; k++) {
        ok = i + k < size && (payload[i + k] & 0xc0) == 0x80;
      }
      i += n;
    }
    if (!ok) state.SkipWithError("no message");
    benchmark::DoNotOptimize(payload);
  }
}

// One iteration makes the frame of a message in a new block and frees it.
void wswrite_ombrix(benchmark::State &state) {
  std::string text = make_text(static_cast<size_t>(state.range(0)));
  ox__wswriter writer;
  for (auto _ : state) {
    uint8_t *frame = nullptr;
    size_t size = 0;
    if (ox__wswriter_frame(&writer, ox__wsop::text, text.data(), text.size(),
                           &frame, &size) != 0) {
      state.SkipWithError("ox__wswriter_frame failed");
    }
    benchmark::DoNotOptimize(frame);
    ox_free(frame);
  }
}

// malloc, two header bytes and a memcpy: the floor of any frame writer
// that hands out a block.
void wswrite_malloc(benchmark::State &state) {
  std::string text = make_text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto *frame = static_cast<uint8_t *>(malloc(2 + text.size()));
    frame[0] = 0x81;
    frame[1] = static_cast<uint8_t>(text.size());
    memcpy(frame + 2, text.data(), text.size());
    benchmark::DoNotOptimize(frame);
    free(frame);
  }
}

// ---------------------------------------------------------------------------

using bench_fn = void (*)(benchmark::State &);

// Counting a request in the metrics, from one thread and from two at once:
// each thread counts in its own shard, so two threads should take no
// longer per request than one.  The baseline counts the same fields in one
// set of atomics shared by both threads, whose cache lines then bounce
// between the cores.
ox__httpstats *stats_shared() {
  static ox__httpstats *stats = [] {
    auto *s = new ox__httpstats;
    s->on = true;
    return s;
  }();
  return stats;
}

void stats_request_ombrix(benchmark::State &state) {
  ox__httpstats *stats = stats_shared();
  for (auto _ : state) {
    ox__httpstats_request(stats, "GET", 200, SIZE_MAX, 150, 0, 11);
  }
}

void stats_request_one_shard(benchmark::State &state) {
  static ox__statshard shared{};
  for (auto _ : state) {
    shared.requests[0][1].fetch_add(1, std::memory_order_relaxed);
    shared.latency[0].fetch_add(1, std::memory_order_relaxed);
    shared.latency_us.fetch_add(150, std::memory_order_relaxed);
    shared.body_out.fetch_add(11, std::memory_order_relaxed);
  }
}

void add(const std::string &name, bench_fn fn, int64_t arg) {
  benchmark::RegisterBenchmark(name.c_str(), fn)->Arg(arg);
}

// The router cases take whether the path matches the last route.
void add_router(const char *name, void (*fn)(benchmark::State &, bool),
                bool match, int64_t arg) {
  benchmark::RegisterBenchmark(name, fn, match)->Arg(arg);
}

void register_all() {
  for (int64_t n : {1, 10, 100}) {
    add_router("router_last/ombrix", router_ombrix, true, n);
    add_router("router_last/pcre2", router_pcre2, true, n);
    add_router("router_none/ombrix", router_ombrix, false, n);
    add_router("router_none/pcre2", router_pcre2, false, n);
  }
  for (int64_t n : {10, 100}) {
    srvroute_table(n);  // built here, out of the timed threads
    benchmark::RegisterBenchmark("srvroute_last/ombrix", srvroute_ombrix)
        ->Arg(n)->Threads(1)->Threads(2);
    benchmark::RegisterBenchmark("srvroute_last/pcre2", srvroute_pcre2)
        ->Arg(n)->Threads(1)->Threads(2);
  }
  for (int64_t n : {10, 1000}) {
    add("strmap_add/ombrix", strmap_add_ombrix, n);
    add("strmap_add/unordered_map", strmap_add_std, n);
    add("strmap_get/ombrix", strmap_get_ombrix, n);
    add("strmap_get/unordered_map", strmap_get_std, n);
    add("strmap_set/ombrix", strmap_set_ombrix, n);
    add("strmap_set/unordered_map", strmap_set_std, n);
  }
  for (int64_t n : {16, 1000}) {
    add("str_write/ombrix", str_write_ombrix, n);
    add("str_write/std_string", str_write_std, n);
    add("str_printf/ombrix", str_printf_ombrix, n);
    add("str_printf/snprintf_std_string", str_printf_std, n);
  }
  for (int64_t n : {1024, 64 * 1024, 1024 * 1024}) {
    add("zcompress/ombrix", zcompress_ombrix, n);
    add("zcompress/zlib", zcompress_zlib, n);
  }
  for (int64_t n : {10, 1000}) {
    add("entrypoints_find/ombrix", entrypoints_find_ombrix, n);
    add("entrypoints_find/sorted_vector", entrypoints_find_std, n);
  }
  add("accept_gzip/ombrix", accept_gzip_ombrix, 0);
  add("accept_gzip/strstr", accept_gzip_strstr, 0);
  add("mime_lookup/ombrix", mime_lookup_ombrix, 0);
  add("mime_lookup/unordered_map", mime_lookup_std, 0);
  benchmark::RegisterBenchmark("stats_request/ombrix", stats_request_ombrix)
      ->Arg(0)->Threads(1)->Threads(2);
  benchmark::RegisterBenchmark("stats_request/one_shard",
                               stats_request_one_shard)
      ->Arg(0)->Threads(1)->Threads(2);
  add("conditional/ombrix", conditional_ombrix, 0);
  add("conditional/strcmp", conditional_strcmp, 0);
  add("wsread/ombrix", wsread_ombrix, 64);
  add("wsread/bytewise", wsread_bytewise, 64);
  add("wswrite/ombrix", wswrite_ombrix, 64);
  add("wswrite/malloc", wswrite_malloc, 64);
}

}  // namespace

int main(int argc, char **argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
