// The string map's pair record, and the hash settings every source that
// touches a map must share.
#ifndef OX_STRMAP_H
#define OX_STRMAP_H

#include <cstddef>

#include "ombrix.h"
#include "ox_alloc.h"

// Names hash and compare without regard to ASCII case, so a lookup needs no
// folded copy of the name it is given.
unsigned ox__strmap_hash(const void *key, size_t len) noexcept;
int ox__strmap_keycmp(const void *a, const void *b, size_t len) noexcept;

#define HASH_FUNCTION(keyptr, keylen, hashv) \
  ((hashv) = ox__strmap_hash((keyptr), (keylen)))
#define HASH_KEYCMP(a, b, n) ox__strmap_keycmp((a), (b), (n))
// A failed table allocation undoes the add instead of ending the program.
#define HASH_NONFATAL_OOM 1
#define uthash_malloc(sz) ox_alloc(sz)
#define uthash_free(ptr, sz) ox_free(ptr)
#include <uthash.h>

struct ox_strmap {
  char *key;          // the hash key: the name itself, hashed and compared
                      // without regard to case
  char *name;         // the name as added, in the record's own block
  char *val;          // the value, a block of its own so set can replace it
  UT_hash_handle hh;  // the map's table and its insertion-ordered list
};

// The pair added last (in map order), or NULL for the empty map.
ox_strmap *ox__strmap_last(ox_strmap *map) noexcept;

// Removes and frees |pair| when it is one of |*map|'s; otherwise nothing.
void ox__strmap_remove(ox_strmap **map, const ox_strmap *pair) noexcept;

#endif  // OX_STRMAP_H
