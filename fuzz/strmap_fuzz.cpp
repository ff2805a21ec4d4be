// String map: adds, sets, lookups, stopped iterations, sorts and cleanups,
// checked after each step against a vector of pairs in map order.  Names
// compare without regard to ASCII case; lookups find the first pair of a
// name in map order; a set changes the first and removes the later ones.
//
// Input: a sequence of steps, each an op byte and its operands (see
// run_op).  Names come mostly from a few words in changing case, so that
// steps meet the same name spelled in different ways.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"
#include "ombrix.h"

namespace {

struct Pair {
  std::string name, val;
};
using Model = std::vector<Pair>;

// Index of the first pair named |name| (any case), or the model's size.
size_t model_first(const Model &m, const std::string &name) {
  std::string key = oxfuzz::fold(name);
  for (size_t i = 0; i < m.size(); i++) {
    if (oxfuzz::fold(m[i].name) == key) return i;
  }
  return m.size();
}

std::string flip_case(std::string s, uint8_t mask) {
  for (size_t i = 0; i < s.size(); i++) {
    char c = s[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter && ((mask >> (i % 8)) & 1) != 0)
      s[i] = static_cast<char>(c ^ 0x20);
  }
  return s;
}

std::string read_name(oxfuzz::Input &in) {
  static const char *const words[] = {"Host", "Set-Cookie", "a",
                                      "",     "X-y",        "ab"};
  uint8_t b = in.byte();
  if ((b & 0x80) != 0) return in.text();
  return flip_case(words[b % 6], in.byte());
}

// Iteration callback: records "name=val" and stops with 7 after |stop|.
struct Walk {
  Model seen;
  size_t stop;
};

int walk_pair(void *cls, ox_strmap *pair) {
  auto *w = static_cast<Walk *>(cls);
  w->seen.push_back({ox_strmap_name(pair), ox_strmap_val(pair)});
  return w->seen.size() == w->stop ? 7 : 0;
}

// The orders a sort may take; the model sorts by the same rule.
int cmp_by(int how, const char *name_a, const char *val_a, const char *name_b,
           const char *val_b) {
  switch (how) {
    case 0:
      return strcmp(name_a, name_b);
    case 1:
      return strcmp(val_a, val_b);
    default:  // case-insensitive names, descending
      return oxfuzz::fold(name_b).compare(oxfuzz::fold(name_a));
  }
}

int sort_pairs(void *cls, ox_strmap *a, ox_strmap *b) {
  return cmp_by(*static_cast<int *>(cls), ox_strmap_name(a), ox_strmap_val(a),
                ox_strmap_name(b), ox_strmap_val(b));
}

void check_find(ox_strmap *map, const Model &m, const std::string &name) {
  size_t i = model_first(m, name);
  ox_strmap *pair = reinterpret_cast<ox_strmap *>(&pair);  // must be written
  int rc = ox_strmap_find(map, name.c_str(), &pair);
  const char *val = ox_strmap_get(map, name.c_str());
  if (i == m.size()) {
    OXF_CHECK(rc == ENOENT && pair == nullptr && val == nullptr);
    return;
  }
  OXF_CHECK(rc == 0 && pair != nullptr);
  OXF_CHECK(m[i].name == ox_strmap_name(pair));
  OXF_CHECK(m[i].val == ox_strmap_val(pair));
  OXF_CHECK(val != nullptr && m[i].val == val);
}

void run_op(ox_strmap **map, Model &m, oxfuzz::Input &in) {
  switch (in.byte() % 8) {
    case 0: {
      std::string name = read_name(in), val = in.text();
      OXF_CHECK(ox_strmap_add(map, name.c_str(), val.c_str()) == 0);
      m.push_back({name, val});
      break;
    }
    case 1: {
      std::string name = read_name(in), val = in.text();
      OXF_CHECK(ox_strmap_set(map, name.c_str(), val.c_str()) == 0);
      size_t i = model_first(m, name);
      if (i == m.size()) {
        m.push_back({name, val});
        break;
      }
      m[i].val = val;
      std::string key = oxfuzz::fold(name);
      m.erase(std::remove_if(
                  m.begin() + static_cast<ptrdiff_t>(i) + 1, m.end(),
                  [&](const Pair &p) { return oxfuzz::fold(p.name) == key; }),
              m.end());
      break;
    }
    case 2:
      check_find(*map, m, read_name(in));
      break;
    case 3:  // a present name, spelled in another case
      if (!m.empty()) {
        const Pair &p = m[in.byte() % m.size()];
        check_find(*map, m, flip_case(p.name, in.byte()));
      }
      break;
    case 4: {
      Walk w{{}, in.byte() % 8 + 1u};
      int rc = ox_strmap_iter(*map, walk_pair, &w);
      OXF_CHECK(rc == (m.size() >= w.stop ? 7 : 0));
      OXF_CHECK(w.seen.size() == std::min(m.size(), w.stop));
      break;
    }
    case 5: {
      int how = in.byte() % 3;
      OXF_CHECK(ox_strmap_sort(map, sort_pairs, &how) == 0);
      std::stable_sort(m.begin(), m.end(), [how](const Pair &a, const Pair &b) {
        return cmp_by(how, a.name.c_str(), a.val.c_str(), b.name.c_str(),
                      b.val.c_str()) < 0;
      });
      break;
    }
    case 6:
      ox_strmap_cleanup(map);
      OXF_CHECK(*map == nullptr);
      m.clear();
      break;
    case 7:  // a duplicate of a present name, spelled in another case
      if (!m.empty()) {
        std::string name = flip_case(m[in.byte() % m.size()].name, in.byte());
        std::string val = in.text();
        OXF_CHECK(ox_strmap_add(map, name.c_str(), val.c_str()) == 0);
        m.push_back({name, val});
      }
      break;
  }
  // The whole visible state, in order.
  Walk all{{}, 0};
  OXF_CHECK(ox_strmap_iter(*map, walk_pair, &all) == 0);
  OXF_CHECK(ox_strmap_count(*map) == m.size());
  OXF_CHECK(all.seen.size() == m.size());
  for (size_t i = 0; i < m.size(); i++) {
    OXF_CHECK(all.seen[i].name == m[i].name && all.seen[i].val == m[i].val);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  ox_strmap *map = nullptr;
  Model m;
  while (!in.empty()) run_op(&map, m, in);
  ox_strmap_cleanup(&map);
  return 0;
}
