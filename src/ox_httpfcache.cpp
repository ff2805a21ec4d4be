// The open-file cache: one table per server behind one lock, held only to
// look up, duplicate a descriptor or replace an entry; the fstat() that
// checks a file runs outside it, on the caller's own duplicate.
#include "ox_httpfcache.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "ox_core.h"

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

template <typename Map, typename It>
void fcache_drop(Map &entries, It it) noexcept {
  close(it->second.file.fd);
  entries.erase(it);
}

}  // namespace

ox__httpfcache::~ox__httpfcache() {
  for (auto &pair : entries) close(pair.second.file.fd);
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
    fcache_drop(cache->entries, cache->entries.begin());
  }
}

bool ox__httpfcache_get(ox__httpfcache *cache, std::string_view key,
                        ox__cachedfile *out) noexcept {
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    auto it = cache->entries.find(key);
    if (it == cache->entries.end()) return false;
    if (fcache_now_ns() - it->second.opened_ns >= fcache_valid_ns) {
      fcache_drop(cache->entries, it);
      return false;
    }
    // Duplicated under the lock: another thread may drop the entry, and
    // close its descriptor, as soon as the lock is released.
    *out = it->second.file;
    out->fd = fcntl(out->fd, F_DUPFD_CLOEXEC, 0);
    if (out->fd < 0) return false;
  }
  if (fcache_unchanged(out->fd, out->st)) return true;
  // The caller opens the path again, and its put() replaces the entry.
  close(out->fd);
  out->fd = -1;
  return false;
}

void ox__httpfcache_put(ox__httpfcache *cache, std::string_view key,
                        const ox__cachedfile &file) noexcept {
  if (cache->capacity == 0 || !S_ISREG(file.st.st_mode)) return;
  ox__errno_guard keep;
  int fd = fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return;
  ox__fcache_entry entry{file, fcache_now_ns()};
  entry.file.fd = fd;
  std::lock_guard<std::mutex> lock(cache->mutex);
  auto it = cache->entries.find(key);
  if (it != cache->entries.end()) {
    close(it->second.file.fd);
    it->second = entry;
    return;
  }
  if (cache->entries.size() >= cache->capacity && !cache->entries.empty()) {
    fcache_drop(cache->entries, cache->entries.begin());
  }
  try {
    cache->entries.emplace(key, entry);
  } catch (const std::bad_alloc &) {
    close(fd);
  }
}
