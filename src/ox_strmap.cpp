// String map: pairs in a uthash table, looked up without regard to case.
#include "ox_strmap.h"

#include <cstring>

#include "ox_core.h"

// uthash's macros cast the C way, and ours route its allocator through them.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace {

inline unsigned char strmap_fold(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

ox_strmap *strmap_next(ox_strmap *pair) noexcept {
  return static_cast<ox_strmap *>(pair->hh.next);
}

bool strmap_same_key(const UT_hash_handle *hh, const char *name, size_t len,
                     unsigned hashv) noexcept {
  return hh->hashv == hashv && hh->keylen == len &&
         ox__strmap_keycmp(hh->key, name, len) == 0;
}

// The first pair added under |name|.  The bucket chain does not keep the
// order of additions, so when it holds a second pair of the same key the
// map's own list decides; without duplicates that costs nothing.
ox_strmap *strmap_first(ox_strmap *map, const char *name) noexcept {
  if (map == nullptr) return nullptr;
  size_t len = strlen(name);
  unsigned hashv = ox__strmap_hash(name, len);
  ox_strmap *found = nullptr;
  HASH_FIND_BYHASHVALUE(hh, map, name, len, hashv, found);
  if (found == nullptr) return nullptr;
  bool duplicated = false;
  for (UT_hash_handle *h = found->hh.hh_next; h != nullptr; h = h->hh_next) {
    if (strmap_same_key(h, name, len, hashv)) {
      duplicated = true;
      break;
    }
  }
  if (!duplicated) return found;
  for (ox_strmap *p = map; p != nullptr; p = strmap_next(p)) {
    if (strmap_same_key(&p->hh, name, len, hashv)) return p;
  }
  return found;
}

void strmap_free_pair(ox_strmap *pair) noexcept {
  ox_free(pair->val);
  ox_free(pair);
}

// Makes a pair whose name and record share one block.  Hashing and key
// comparison fold case themselves, so the key is the name as added: a name
// is held once, however long (request maps hold names a client chose).
ox_strmap *strmap_make_pair(const char *name, const char *val) noexcept {
  size_t len = strlen(name);
  auto *pair = static_cast<ox_strmap *>(ox_alloc(sizeof(ox_strmap) + len + 1));
  if (pair == nullptr) return nullptr;
  pair->val = ox__strdup(val);
  if (pair->val == nullptr) {
    ox_free(pair);
    return nullptr;
  }
  pair->name = reinterpret_cast<char *>(pair + 1);
  pair->key = pair->name;
  memcpy(pair->name, name, len + 1);
  return pair;
}

int strmap_insert(ox_strmap **map, ox_strmap *pair) noexcept {
  size_t len = strlen(pair->key);
  HASH_ADD_KEYPTR(hh, *map, pair->key, len, pair);
  if (pair->hh.tbl == nullptr) {  // uthash ran out of memory and undid it
    strmap_free_pair(pair);
    return ENOMEM;
  }
  return 0;
}

}  // namespace

// FNV-1a over the folded bytes.
unsigned ox__strmap_hash(const void *key, size_t len) noexcept {
  const auto *p = static_cast<const unsigned char *>(key);
  unsigned h = 2166136261u;
  for (size_t i = 0; i < len; i++) {
    h ^= strmap_fold(p[i]);
    h *= 16777619u;
  }
  return h;
}

int ox__strmap_keycmp(const void *a, const void *b, size_t len) noexcept {
  const auto *x = static_cast<const unsigned char *>(a);
  const auto *y = static_cast<const unsigned char *>(b);
  for (size_t i = 0; i < len; i++) {
    if (strmap_fold(x[i]) != strmap_fold(y[i])) return 1;
  }
  return 0;
}

ox_strmap *ox__strmap_last(ox_strmap *map) noexcept {
  if (map == nullptr) return nullptr;
  return static_cast<ox_strmap *>(ELMT_FROM_HH(map->hh.tbl, map->hh.tbl->tail));
}

void ox__strmap_remove(ox_strmap **map, const ox_strmap *pair) noexcept {
  for (ox_strmap *p = *map; p != nullptr; p = strmap_next(p)) {
    if (p == pair) {
      HASH_DEL(*map, p);
      strmap_free_pair(p);
      return;
    }
  }
}

int ox_strmap_add(ox_strmap **map, const char *name, const char *val) noexcept {
  if (map == nullptr || name == nullptr || val == nullptr) return EINVAL;
  ox_strmap *pair = strmap_make_pair(name, val);
  if (pair == nullptr) return ENOMEM;
  return strmap_insert(map, pair);
}

int ox_strmap_set(ox_strmap **map, const char *name, const char *val) noexcept {
  if (map == nullptr || name == nullptr || val == nullptr) return EINVAL;
  ox_strmap *first = strmap_first(*map, name);
  if (first == nullptr) return ox_strmap_add(map, name, val);
  char *copy = ox__strdup(val);
  if (copy == nullptr) return ENOMEM;
  ox_free(first->val);
  first->val = copy;
  // The other pairs of the name go: a set leaves one value per name.  They
  // all hang in the bucket of |first|, so only that chain is walked.
  UT_hash_table *tbl = first->hh.tbl;
  unsigned bkt;
  HASH_TO_BKT(first->hh.hashv, tbl->num_buckets, bkt);
  UT_hash_handle *h = tbl->buckets[bkt].hh_head;
  while (h != nullptr) {
    UT_hash_handle *next = h->hh_next;
    auto *pair = static_cast<ox_strmap *>(ELMT_FROM_HH(tbl, h));
    if (pair != first &&
        strmap_same_key(h, first->key, first->hh.keylen, first->hh.hashv)) {
      HASH_DEL(*map, pair);
      strmap_free_pair(pair);
    }
    h = next;
  }
  return 0;
}

int ox_strmap_find(ox_strmap *map, const char *name,
                   ox_strmap **pair) noexcept {
  if (name == nullptr || pair == nullptr) return EINVAL;
  *pair = strmap_first(map, name);
  return *pair != nullptr ? 0 : ENOENT;
}

const char *ox_strmap_get(ox_strmap *map, const char *name) noexcept {
  if (name == nullptr) return ox__einval<const char *>(nullptr);
  ox_strmap *pair = strmap_first(map, name);
  return pair != nullptr ? pair->val : nullptr;
}

unsigned int ox_strmap_count(ox_strmap *map) noexcept {
  return HASH_COUNT(map);
}

const char *ox_strmap_name(ox_strmap *pair) noexcept {
  if (pair == nullptr) return ox__einval<const char *>(nullptr);
  return pair->name;
}

const char *ox_strmap_val(ox_strmap *pair) noexcept {
  if (pair == nullptr) return ox__einval<const char *>(nullptr);
  return pair->val;
}

int ox_strmap_iter(ox_strmap *map, ox_strmap_iter_cb cb, void *cls) noexcept {
  if (cb == nullptr) return EINVAL;
  ox_strmap *pair, *tmp;
  HASH_ITER(hh, map, pair, tmp) {
    if (int rc = cb(cls, pair); rc != 0) return rc;
  }
  return 0;
}

int ox_strmap_sort(ox_strmap **map, ox_strmap_sort_cb cb, void *cls) noexcept {
  if (map == nullptr || cb == nullptr) return EINVAL;
  auto by_cb = [cb, cls](ox_strmap *a, ox_strmap *b) { return cb(cls, a, b); };
  HASH_SRT(hh, *map, by_cb);
  return 0;
}

void ox_strmap_cleanup(ox_strmap **map) noexcept {
  if (map == nullptr) return;
  // The list links stay in the pairs after the table is gone.
  ox_strmap *pair = *map;
  HASH_CLEAR(hh, *map);
  while (pair != nullptr) {
    ox_strmap *next = strmap_next(pair);
    strmap_free_pair(pair);
    pair = next;
  }
}
