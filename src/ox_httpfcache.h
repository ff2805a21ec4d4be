// The open-file cache: the regular files a server sent lately, each kept
// open with its status, validators and content type, so that sending one
// again takes a duplicate of its descriptor instead of resolving its path,
// and formats nothing.
//
// An entry is used for a second after its file was opened, and only while
// an fstat() of its descriptor still shows the file as it was (same inode,
// size and modification time, still linked): a file rewritten in place or
// removed is seen at once.  Past the second, the entry is dropped and the
// caller opens the path again by its own rules, so that a path now leading
// elsewhere (a file replaced by a link, a directory renamed) is resolved
// afresh at least once a second.  The cache opens nothing itself.
#ifndef OX_HTTPFCACHE_H
#define OX_HTTPFCACHE_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ox_httpcond.h"

// A file as the cache gives it out, or as a caller hands it in.
struct ox__cachedfile {
  int fd;             // the caller's descriptor (given out: a duplicate)
  struct stat st;     // its status when opened
  ox__validators v;   // its ETag and Last-Modified
  const char *type;   // its content type: static or the server's, which
                      // cannot change while the server serves
};

// Keys are compared as bytes, looked up without making a string.
struct ox__fcache_hash {
  using is_transparent = void;
  size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

struct ox__fcache_entry {
  ox__cachedfile file;  // |file.fd| is the cache's own
  int64_t opened_ns;    // when the caller opened the path (monotonic)
};

struct ox__httpfcache {
  ox__httpfcache() = default;
  ~ox__httpfcache();
  ox__httpfcache(const ox__httpfcache &) = delete;
  ox__httpfcache &operator=(const ox__httpfcache &) = delete;

  size_t capacity = 1024;  // entries, each holding a descriptor; 0: off
  std::mutex mutex;        // guards |entries|
  std::unordered_map<std::string, ox__fcache_entry, ox__fcache_hash,
                     std::equal_to<>>
      entries;
};

// Keeps at most |entries| files open (0 turns the cache off), and no more
// than a quarter of the process's descriptor limit.  Call before serving.
void ox__httpfcache_limit(ox__httpfcache *cache, size_t entries) noexcept;

// The file cached under |key|, when its entry is younger than a second and
// its file unchanged: true, with |out| filled and |out->fd| a new
// descriptor the caller owns.  False otherwise (the caller opens the path
// and may ox__httpfcache_put() it).
bool ox__httpfcache_get(ox__httpfcache *cache, std::string_view key,
                        ox__cachedfile *out) noexcept;

// Caches the regular file |file| (its descriptor duplicated, |file->fd|
// stays the caller's) under |key|, replacing what was there.  A full cache
// drops another entry first.  Out of memory or descriptors, nothing is
// cached: the cache only ever saves work.
void ox__httpfcache_put(ox__httpfcache *cache, std::string_view key,
                        const ox__cachedfile &file) noexcept;

#endif  // OX_HTTPFCACHE_H
