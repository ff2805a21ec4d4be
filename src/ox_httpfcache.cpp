// The open-file cache: one table per server behind one lock, held only to
// look up, duplicate a descriptor or replace an entry; the fstat() that
// checks a file runs outside it, on the caller's own duplicate.
#include "ox_httpfcache.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "ox_alloc.h"
#include "ox_core.h"
#include "ox_httpenc.h"

namespace {

// How long an entry stands for its path: a path replaced (a new release
// renamed into place, a link swapped in) is resolved again within this.
constexpr int64_t fcache_valid_ns = 1000000000;

int64_t fcache_now_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// True while the file open as |fd| is still the one |was| describes: the
// same inode with the same size and modification time, and still linked.
// A rewrite in place changes the size or the time; a removal, or a
// rename over it, unlinks it.
bool fcache_unchanged(int fd, const struct stat &was) noexcept {
  struct stat now;
  return fstat(fd, &now) == 0 && now.st_nlink != 0 &&
         now.st_ino == was.st_ino && now.st_dev == was.st_dev &&
         now.st_size == was.st_size &&
         now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == was.st_mtim.tv_nsec;
}

// A record for |size| bytes, with one reference and no descriptor.
ox__filebytes *fcache_bytes_new(size_t size) noexcept {
  auto *b = static_cast<ox__filebytes *>(
      ox__std_malloc(sizeof(ox__filebytes) + size));
  if (b == nullptr) return nullptr;
  new (b) ox__filebytes{{1}, -1, size, reinterpret_cast<char *>(b + 1), {}};
  return b;
}

void fcache_bytes_free(ox__filebytes *b) noexcept {
  if (b == nullptr) return;
  fcache_bytes_free(b->gz.load(std::memory_order_acquire));
  if (b->fd >= 0) close(b->fd);
  b->~ox__filebytes();
  free(b);
}

// The whole regular file |f| read into memory, when it is small, there is
// room for it in |cache|, and it is still as |f->st| describes it after
// the read; NULL otherwise.  The record holds a descriptor of its own.
ox__filebytes *fcache_read_small(ox__httpfcache *cache,
                                 const ox__cachedfile &f) noexcept {
  auto size = static_cast<size_t>(f.st.st_size);
  if (f.st.st_size < 0 || size > ox__fcache_small_max) return nullptr;
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    if (cache->bytes + size > ox__fcache_bytes_max) return nullptr;
  }
  ox__filebytes *b = fcache_bytes_new(size);
  if (b == nullptr) return nullptr;
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(f.fd, b->data + got, size - got,
                      static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == size && fcache_unchanged(f.fd, f.st)) {
    b->fd = fcntl(f.fd, F_DUPFD_CLOEXEC, 0);
    if (b->fd >= 0) return b;
  }
  fcache_bytes_free(b);
  return nullptr;
}

// Lets go of what |entry| holds, and of its bytes' share of |cache|.
void fcache_release(ox__httpfcache *cache, ox__fcache_entry &entry) noexcept {
  if (entry.file.bytes != nullptr) cache->bytes -= entry.file.bytes->size;
  ox__cachedfile_release(&entry.file);
}

template <typename It>
void fcache_drop(ox__httpfcache *cache, It it) noexcept {
  fcache_release(cache, it->second);
  cache->entries.erase(it);
}

}  // namespace

ox__filebytes *ox__filebytes_ref(ox__filebytes *b) noexcept {
  b->refs.fetch_add(1, std::memory_order_relaxed);
  return b;
}

void ox__filebytes_unref(ox__filebytes *b) noexcept {
  if (b != nullptr && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    fcache_bytes_free(b);
  }
}

const ox__filebytes *ox__filebytes_gzip(ox__filebytes *b, int level) noexcept {
  ox__filebytes *gz = b->gz.load(std::memory_order_acquire);
  if (gz != nullptr) return gz;
  char *out = nullptr;
  size_t size = 0;
  if (ox__gzip_bytes(b->data, b->size, level, &out, &size) != 0) {
    return nullptr;
  }
  gz = fcache_bytes_new(size);
  if (gz != nullptr) memcpy(gz->data, out, size);
  free(out);
  if (gz == nullptr) return nullptr;
  // Two replies may race to make it: the first one's stays.
  ox__filebytes *none = nullptr;
  if (!b->gz.compare_exchange_strong(none, gz, std::memory_order_acq_rel)) {
    fcache_bytes_free(gz);
    return none;
  }
  return gz;
}

void ox__cachedfile_release(ox__cachedfile *f) noexcept {
  if (f->fd >= 0) close(f->fd);
  f->fd = -1;
  ox__filebytes_unref(f->bytes);
  f->bytes = nullptr;
}

ox__httpfcache::~ox__httpfcache() {
  for (auto &pair : entries) ox__cachedfile_release(&pair.second.file);
}

void ox__httpfcache_limit(ox__httpfcache *cache, size_t entries) noexcept {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      entries > lim.rlim_cur / 4) {
    entries = static_cast<size_t>(lim.rlim_cur / 4);
  }
  std::lock_guard<std::mutex> lock(cache->mutex);
  cache->capacity = entries;
  while (cache->entries.size() > entries) {
    fcache_drop(cache, cache->entries.begin());
  }
}

bool ox__httpfcache_get(ox__httpfcache *cache, std::string_view key,
                        ox__cachedfile *out) noexcept {
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    auto it = cache->entries.find(key);
    if (it == cache->entries.end()) return false;
    if (fcache_now_ns() - it->second.opened_ns >= fcache_valid_ns) {
      fcache_drop(cache, it);
      return false;
    }
    // Referenced or duplicated under the lock: another thread may drop
    // the entry, and close its descriptor, as soon as it is released.
    *out = it->second.file;
    if (out->bytes != nullptr) {
      ox__filebytes_ref(out->bytes);
    } else {
      out->fd = fcntl(out->fd, F_DUPFD_CLOEXEC, 0);
      if (out->fd < 0) return false;
    }
  }
  int fd = out->bytes != nullptr ? out->bytes->fd : out->fd;
  if (fcache_unchanged(fd, out->st)) return true;
  // The caller opens the path again, and its put() replaces the entry.
  ox__cachedfile_release(out);
  return false;
}

void ox__httpfcache_put(ox__httpfcache *cache, std::string_view key,
                        const ox__cachedfile &file) noexcept {
  if (cache->capacity == 0 || !S_ISREG(file.st.st_mode)) return;
  ox__errno_guard keep;
  ox__fcache_entry entry{file, fcache_now_ns()};
  entry.file.fd = -1;
  entry.file.bytes = fcache_read_small(cache, file);
  if (entry.file.bytes == nullptr) {
    entry.file.fd = fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
    if (entry.file.fd < 0) return;
  }
  std::lock_guard<std::mutex> lock(cache->mutex);
  if (entry.file.bytes != nullptr) cache->bytes += entry.file.bytes->size;
  auto it = cache->entries.find(key);
  if (it != cache->entries.end()) {
    fcache_release(cache, it->second);
    it->second = entry;
    return;
  }
  if (cache->entries.size() >= cache->capacity && !cache->entries.empty()) {
    fcache_drop(cache, cache->entries.begin());
  }
  try {
    cache->entries.emplace(key, entry);
  } catch (const std::bad_alloc &) {
    fcache_release(cache, entry);
  }
}
