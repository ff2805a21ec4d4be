// Entry points: adds, removals, lookups, user data changes, stopped
// iterations and clears on one table, checked after each step against a
// std::map from name to user data.  A name is the first segment of a path
// (ox_extract_entrypoint, checked against its own rule here), and the table
// iterates in strcmp order of the names, which std::string's order is.
//
// Input: a sequence of steps, each an op byte and its operands (see
// run_op).  Paths come mostly from a few prefixes, so that steps meet the
// same entry through different paths.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "input.h"
#include "ombrix.h"

namespace {

using Model = std::map<std::string, uintptr_t>;

// Everything before the first '/' that follows the first byte.
std::string model_name(const std::string &path) {
  size_t slash = path.size() > 1 ? path.find('/', 1) : std::string::npos;
  return path.substr(0, slash);
}

std::string read_path(oxfuzz::Input &in) {
  static const char *const prefixes[] = {"/r1", "/r2", "/",    "",
                                         "r1",  "//",  "/r10", "/R1"};
  uint8_t b = in.byte();
  if ((b & 0x80) != 0) return in.text();
  std::string path = prefixes[b % 8];
  if ((b & 0x40) != 0) {
    // Not "/" + text: GCC 12 at -O3 warns falsely (-Wrestrict) about that.
    path += '/';
    path += in.text();
  }
  return path;
}

void *token(uintptr_t n) { return reinterpret_cast<void *>(n); }

struct Walk {
  std::vector<std::pair<std::string, uintptr_t>> seen;
  size_t stop;  // 0: never
};

int walk_entry(void *cls, ox_entrypoint *e) {
  auto *w = static_cast<Walk *>(cls);
  w->seen.emplace_back(ox_entrypoint_name(e),
                       reinterpret_cast<uintptr_t>(ox_entrypoint_user_data(e)));
  return w->seen.size() == w->stop ? 9 : 0;
}

void run_op(ox_entrypoints *eps, Model &m, uintptr_t &next_token,
            oxfuzz::Input &in) {
  std::string path = read_path(in);
  std::string name = model_name(path);
  auto found = m.find(name);
  switch (in.byte() % 6) {
    case 0: {
      uintptr_t t = next_token++;
      int rc = ox_entrypoints_add(eps, path.c_str(), token(t));
      OXF_CHECK(rc == (found != m.end() ? EALREADY : 0));
      if (rc == 0) m.emplace(name, t);
      break;
    }
    case 1: {
      int rc = ox_entrypoints_rm(eps, path.c_str());
      OXF_CHECK(rc == (found != m.end() ? 0 : ENOENT));
      if (rc == 0) m.erase(found);
      break;
    }
    case 2: {  // find, and give the entry found new user data
      ox_entrypoint *e = reinterpret_cast<ox_entrypoint *>(&e);
      int rc = ox_entrypoints_find(eps, &e, path.c_str());
      if (found == m.end()) {
        OXF_CHECK(rc == ENOENT && e == nullptr);
        break;
      }
      OXF_CHECK(rc == 0 && e != nullptr);
      OXF_CHECK(name == ox_entrypoint_name(e));
      OXF_CHECK(ox_entrypoint_user_data(e) == token(found->second));
      if ((in.byte() & 1) != 0) {
        found->second = next_token++;
        OXF_CHECK(ox_entrypoint_set_user_data(e, token(found->second)) == 0);
      }
      break;
    }
    case 3: {
      Walk w{{}, in.byte() % 4 + 1u};
      int rc = ox_entrypoints_iter(eps, walk_entry, &w);
      OXF_CHECK(rc == (m.size() >= w.stop ? 9 : 0));
      OXF_CHECK(w.seen.size() == std::min(m.size(), w.stop));
      break;
    }
    case 4:
      OXF_CHECK(ox_entrypoints_clear(eps) == 0);
      m.clear();
      break;
    case 5: {
      char *extracted = ox_extract_entrypoint(path.c_str());
      OXF_CHECK(extracted != nullptr && name == extracted);
      ox_free(extracted);
      break;
    }
  }
  Walk all{{}, 0};
  OXF_CHECK(ox_entrypoints_iter(eps, walk_entry, &all) == 0);
  OXF_CHECK(all.seen.size() == m.size());
  auto it = m.begin();
  for (const auto &[seen_name, seen_token] : all.seen) {
    OXF_CHECK(seen_name == it->first && seen_token == it->second);
    ++it;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  oxfuzz::Input in(data, size);
  ox_entrypoints *eps = ox_entrypoints_new();
  OXF_CHECK(eps != nullptr);
  Model m;
  uintptr_t next_token = 1;
  while (!in.empty()) run_op(eps, m, next_token, in);
  ox_entrypoints_free(eps);
  return 0;
}
