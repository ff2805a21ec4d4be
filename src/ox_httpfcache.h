// The open-file cache: the regular files a server sent lately, each kept
// open with its status, validators and content type, so that sending one
// again takes a duplicate of its descriptor instead of resolving its path,
// and formats nothing.  A small file's bytes are kept too, so that its
// reply goes out from memory with its head, in one send, and its gzip
// form is made once.
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

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ox_httpcond.h"

// The whole of a small file as it was when cached, shared by the cache
// and the replies sending it, and freed with the last of them.  It holds
// the file open, to see whether the file still is as it was.
struct ox__filebytes {
  std::atomic<unsigned int> refs;
  int fd;
  size_t size;
  char *data;                       // |size| bytes, just after the record
  std::atomic<ox__filebytes *> gz;  // the same gzipped, once a reply asked
};

// Files up to this size are kept in memory, up to this many bytes in all
// (give or take a file for each thread adding one at the same moment).
inline constexpr size_t ox__fcache_small_max = 16 * 1024;
inline constexpr size_t ox__fcache_bytes_max = 4 * 1024 * 1024;

// Another reference to |b|.
ox__filebytes *ox__filebytes_ref(ox__filebytes *b) noexcept;

// Drops a reference to |b| (NULL: none); the last frees it.
void ox__filebytes_unref(ox__filebytes *b) noexcept;

// |b|'s bytes gzipped at |level|: made by the first caller, then shared;
// NULL when out of memory.  The result is |b|'s, valid while |b| is.
const ox__filebytes *ox__filebytes_gzip(ox__filebytes *b, int level) noexcept;

// A file as the cache gives it out, or as a caller hands it in.
struct ox__cachedfile {
  int fd;             // the caller's descriptor (given out: a duplicate,
                      // or -1 with |bytes|)
  struct stat st;     // its status when opened
  ox__validators v;   // its ETag and Last-Modified
  const char *type;   // its content type: static or the server's, which
                      // cannot change while the server serves
  ox__filebytes *bytes = nullptr;  // given out: the caller's reference to
                                   // the whole file, or NULL
};

// Closes |f|'s descriptor and drops its bytes.
void ox__cachedfile_release(ox__cachedfile *f) noexcept;

// Keys are compared as bytes, looked up without making a string.
struct ox__fcache_hash {
  using is_transparent = void;
  size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

struct ox__fcache_entry {
  ox__cachedfile file;  // |file.fd| (or |file.bytes|) is the cache's own
  int64_t opened_ns;    // when the caller opened the path (monotonic)
};

struct ox__httpfcache {
  ox__httpfcache() = default;
  ~ox__httpfcache();
  ox__httpfcache(const ox__httpfcache &) = delete;
  ox__httpfcache &operator=(const ox__httpfcache &) = delete;

  size_t capacity = 1024;  // entries, each holding a descriptor; 0: off
  std::mutex mutex;        // guards |entries| and |bytes|
  size_t bytes = 0;        // small files' bytes held
  std::unordered_map<std::string, ox__fcache_entry, ox__fcache_hash,
                     std::equal_to<>>
      entries;
};

// Keeps at most |entries| files open (0 turns the cache off), and no more
// than a quarter of the process's descriptor limit.  Call before serving.
void ox__httpfcache_limit(ox__httpfcache *cache, size_t entries) noexcept;

// The file cached under |key|, when its entry is younger than a second and
// its file unchanged: true, with |out| filled, and either |out->bytes| a
// reference or |out->fd| a new descriptor, which the caller owns.  False
// otherwise (the caller opens the path and may ox__httpfcache_put() it).
bool ox__httpfcache_get(ox__httpfcache *cache, std::string_view key,
                        ox__cachedfile *out) noexcept;

// Caches the regular file |file| (its descriptor duplicated, |file->fd|
// stays the caller's) under |key|, replacing what was there; a small file
// is read whole, while there is room for its bytes.  A full cache drops
// another entry first.  Out of memory or descriptors, nothing is cached:
// the cache only ever saves work.
void ox__httpfcache_put(ox__httpfcache *cache, std::string_view key,
                        const ox__cachedfile &file) noexcept;

#endif  // OX_HTTPFCACHE_H
