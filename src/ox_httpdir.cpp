// Directory serving.  The request path is checked component by component
// (no "..", no hidden names), then opened beneath the root so that the
// kernel, not string handling, decides what lies inside it: symbolic links
// that stay in the tree work, the others fail as missing files.  Every
// failure is a 404 whose body names nothing of the server's own paths.
#include "ox_httpdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ox_core.h"
#include "ox_alloc.h"
#include "ox_httpres.h"
#include "ox_httpsrv.h"
#include "ox_mime.h"

namespace {

constexpr char dir_index[] = "index.html";
constexpr char dir_html[] = "text/html; charset=utf-8";

// Set once openat2 proved unavailable: later opens go straight to the
// fallback.
std::atomic<bool> dir_no_openat2{false};

// How long a thread keeps using the root it opened: long enough that a
// busy server opens it once per thread, short enough that a root replaced
// (a new release moved into place) is served within a second.
constexpr int64_t dir_root_reuse_ns = 1000000000;

// The root last opened by this thread.  Closed when the thread ends.
struct dir_root_cache {
  char path[PATH_MAX] = "";
  int fd = -1;
  int64_t opened_ns = 0;
  ~dir_root_cache() {
    if (fd >= 0) close(fd);
  }
};
thread_local dir_root_cache dir_root;

int64_t dir_now_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A descriptor of the directory |root|, owned by this thread's cache (not
// to be closed); -1 with errno when it cannot be opened.
int dir_root_fd(const char *root) noexcept {
  dir_root_cache &cache = dir_root;
  int64_t now = dir_now_ns();
  if (cache.fd >= 0 && now - cache.opened_ns < dir_root_reuse_ns &&
      strcmp(cache.path, root) == 0) {
    return cache.fd;
  }
  size_t len = strlen(root);
  if (len >= sizeof(cache.path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (cache.fd >= 0) close(cache.fd);
  cache.fd = fd;
  memcpy(cache.path, root, len + 1);
  cache.opened_ns = now;
  return fd;
}

// RAII for a descriptor.
class dir_fd {
 public:
  explicit dir_fd(int fd) noexcept : fd_(fd) {}
  ~dir_fd() {
    if (fd_ >= 0) close(fd_);
  }
  dir_fd(const dir_fd &) = delete;
  dir_fd &operator=(const dir_fd &) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The path the kernel holds for |fd|, into |out| (PATH_MAX + 1 bytes).
bool dir_real_path(int fd, char *out) noexcept {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, PATH_MAX);
  if (n <= 0) return false;
  out[n] = '\0';
  return true;
}

// True when |path| is |root| or lies under it.
bool dir_is_beneath(const char *root, const char *path) noexcept {
  size_t n = strlen(root);
  if (strncmp(root, path, n) != 0) return false;
  return path[n] == '\0' || path[n] == '/' || (n == 1 && root[0] == '/');
}

int dir_open_checked(int rootfd, const char *rel, int flags) noexcept {
  if (*rel == '/') {
    errno = EXDEV;
    return -1;
  }
  dir_fd fd(openat(rootfd, rel, flags));
  if (fd.get() < 0) return -1;
  char root_path[PATH_MAX + 1], path[PATH_MAX + 1];
  if (!dir_real_path(rootfd, root_path) || !dir_real_path(fd.get(), path) ||
      !dir_is_beneath(root_path, path)) {
    errno = EXDEV;
    return -1;
  }
  return fd.release();
}

bool dir_unreserved(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

// Appends |text| percent-encoded (keeping '/' when |keep_slash|).
void dir_append_encoded(std::string &out, const char *text, bool keep_slash) {
  static const char hex[] = "0123456789ABCDEF";
  for (const char *p = text; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (dir_unreserved(c) || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

void dir_append_escaped(std::string &out, const char *text) {
  for (const char *p = text; *p != '\0'; p++) {
    switch (*p) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += *p;
    }
  }
}

constexpr char dir_text[] = "text/plain; charset=utf-8";

int dir_not_found(ox_httpres *res) noexcept {
  ox__httpres_describe_status(res, MHD_HTTP_NOT_FOUND, nullptr, nullptr,
                              dir_text);
  return 0;
}

// A directory asked for without its slash moves to the slash form, so that
// the relative links of its page resolve inside it; the query goes along.
int dir_redirect(ox_httpres *res) noexcept {
  const char *path = res->path;
  // One leading slash only: "//host" would send the browser elsewhere.
  while (path != nullptr && path[0] == '/' && path[1] == '/') path++;
  std::string location;
  try {
    if (path == nullptr || *path != '/') location += '/';
    if (path != nullptr) dir_append_encoded(location, path, true);
    location += '/';
    if (res->query != nullptr) {
      location += '?';
      location += res->query;
    }
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  char *value = ox__strdup(location.c_str());
  if (value == nullptr) return ENOMEM;
  ox__httpres_describe_status(res, MHD_HTTP_MOVED_PERMANENTLY,
                              MHD_HTTP_HEADER_LOCATION, value, dir_text);
  return 0;
}

struct dir_entry {
  std::string name;
  bool is_dir;
};

// The visible entries of the directory |fd| (taken), directories first,
// then by name.
int dir_entries(int fd, std::vector<dir_entry> &entries) {
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return errno;
  }
  std::unique_ptr<DIR, int (*)(DIR *)> closer(dir, closedir);
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(dirfd(dir), e->d_name, &st, 0) == 0 &&
               S_ISDIR(st.st_mode);
    }
    entries.push_back({e->d_name, is_dir});
  }
  std::sort(entries.begin(), entries.end(),
            [](const dir_entry &a, const dir_entry &b) {
              if (a.is_dir != b.is_dir) return a.is_dir;
              return a.name < b.name;
            });
  return 0;
}

int dir_listing(ox_httpres *res, int fd) noexcept {
  const char *path = res->path;
  if (path == nullptr) path = "/";
  std::string page;
  try {
    std::vector<dir_entry> entries;
    if (int rc = dir_entries(fd, entries); rc != 0) return dir_not_found(res);
    page += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of ";
    dir_append_escaped(page, path);
    page += "</title></head>\n<body><h1>Index of ";
    dir_append_escaped(page, path);
    page += "</h1>\n<ul>\n";
    if (strcmp(path, "/") != 0) page += "<li><a href=\"../\">../</a></li>\n";
    for (const dir_entry &e : entries) {
      page += "<li><a href=\"";
      dir_append_encoded(page, e.name.c_str(), false);
      page += e.is_dir ? "/\">" : "\">";
      dir_append_escaped(page, e.name.c_str());
      page += e.is_dir ? "/</a></li>\n" : "</a></li>\n";
    }
    page += "</ul>\n</body></html>\n";
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  return ox__httpres_describe_bytes(res, page.data(), page.size(), dir_html,
                                    MHD_HTTP_OK);
}

bool dir_method_allowed(const ox_httpres *res) noexcept {
  const char *method = res->method;
  return method != nullptr && (strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                               strcmp(method, MHD_HTTP_METHOD_HEAD) == 0);
}

// The root and a path beneath it, as the file cache's key: |root|, a NUL,
// then |rel|, so that no two pairs make the same key.
class dir_key {
 public:
  dir_key(const char *root, const char *rel) noexcept {
    size_t n = strlen(root), m = strlen(rel);
    if (n + m + 1 >= sizeof key_) return;  // too long to cache
    memcpy(key_, root, n + 1);
    memcpy(key_ + n + 1, rel, m);
    len_ = n + 1 + m;
  }
  bool usable() const noexcept { return len_ != 0; }
  std::string_view view() const noexcept { return {key_, len_}; }

 private:
  char key_[2 * PATH_MAX + sizeof(dir_index) + 2];
  size_t len_ = 0;
};

// Opens |rel| beneath |rootfd| (the directory |root|), non-blocking so
// that a FIFO in the tree cannot hold the thread: |f| gets the descriptor
// (the caller's) and its status, and for a regular file its validators
// and its type (|type|, or by its name when NULL).  A regular file sent
// in the last second comes from the server's file cache, which opens
// nothing: whatever it holds was opened here, beneath the root.  False
// when |rel| cannot be opened or its status read.
bool dir_open(ox_httpres *res, int rootfd, const char *root, const char *rel,
              const char *type, ox__cachedfile *f) noexcept {
  dir_key key(root, rel);
  ox__httpfcache *cache = &res->srv->files;
  if (key.usable() && ox__httpfcache_get(cache, key.view(), f)) return true;
  dir_fd fd(ox__httpdir_open_beneath(rootfd, rel,
                                     O_RDONLY | O_CLOEXEC | O_NONBLOCK, true));
  if (fd.get() < 0 || fstat(fd.get(), &f->st) != 0) return false;
  f->fd = fd.release();
  if (!S_ISREG(f->st.st_mode)) return true;
  ox__validators_of(f->st, &f->v);
  f->type = type != nullptr ? type : ox__mime_of(res->srv->mimes, rel);
  if (key.usable()) ox__httpfcache_put(cache, key.view(), *f);
  return true;
}

// Describes the regular file |f| at |rel| beneath |rootfd| (its
// descriptor or bytes taken) as a whole file, with its gzipped sibling
// beside it, opened by the same rules, when that may go out instead.
int dir_send_file(ox_httpres *res, int rootfd, const char *rel,
                  ox__cachedfile *f) noexcept {
  struct stat st = f->st;
  int rc = ox__httpres_describe_file(res, f, 0,
                                     static_cast<uint64_t>(st.st_size),
                                     nullptr, nullptr, MHD_HTTP_OK);
  if (rc == 0) ox__httpres_describe_sibling(res, rootfd, rel, st);
  return rc;
}

// Answers for the directory |fd| (taken) at |rel| beneath |rootfd| (the
// directory |root|): its index page, else its listing.
int dir_send_directory(ox_httpres *res, int rootfd, const char *root,
                       dir_fd &fd, const char *rel) noexcept {
  char index[PATH_MAX + sizeof(dir_index) + 1];
  snprintf(index, sizeof(index), "%s/%s", rel, dir_index);
  ox__cachedfile page;
  if (dir_open(res, rootfd, root, index, dir_html, &page)) {
    if (S_ISREG(page.st.st_mode)) return dir_send_file(res, rootfd, index, &page);
    ox__cachedfile_release(&page);
  }
  return dir_listing(res, fd.release());
}

bool dir_ends_with_slash(const char *path) noexcept {
  size_t n = strlen(path);
  return n != 0 && path[n - 1] == '/';
}

}  // namespace

bool ox__httpdir_relative(const char *path, char *rel) noexcept {
  size_t len = 0;
  const char *p = path;
  while (*p != '\0') {
    while (*p == '/') p++;
    if (*p == '\0') break;
    const char *start = p;
    while (*p != '\0' && *p != '/') p++;
    auto n = static_cast<size_t>(p - start);
    if (*start == '.') return false;
    if (len + n + 2 > PATH_MAX) return false;
    if (len != 0) rel[len++] = '/';
    memcpy(rel + len, start, n);
    len += n;
  }
  if (len == 0) rel[len++] = '.';
  rel[len] = '\0';
  return true;
}

int ox__httpdir_open_beneath(int rootfd, const char *rel, int flags,
                             bool use_openat2) noexcept {
  if (use_openat2 && !dir_no_openat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, rootfd, rel, &how, sizeof(how));
    // ENOSYS: a kernel before 5.6; EPERM: a seccomp filter that refuses
    // the call.  Either way the fallback check takes over.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
      return static_cast<int>(fd);
    }
    dir_no_openat2.store(true, std::memory_order_relaxed);
  }
  return dir_open_checked(rootfd, rel, flags);
}

int ox_httpres_senddir(ox_httpres *res, const char *root,
                       const char *path) noexcept {
  if (int rc = ox__httpres_sendable(res, MHD_HTTP_OK); rc != 0) return rc;
  if (root == nullptr || path == nullptr) return EINVAL;
  ox__errno_guard keep;
  int rootfd = dir_root_fd(root);
  if (rootfd < 0) return errno;
  if (!dir_method_allowed(res)) {
    char *allow = ox__strdup("GET, HEAD");
    if (allow == nullptr) return ENOMEM;
    ox__httpres_describe_status(res, MHD_HTTP_METHOD_NOT_ALLOWED,
                                MHD_HTTP_HEADER_ALLOW, allow, dir_text);
    return 0;
  }
  char rel[PATH_MAX];
  if (!ox__httpdir_relative(path, rel)) return dir_not_found(res);
  ox__cachedfile f;
  if (!dir_open(res, rootfd, root, rel, nullptr, &f)) {
    return dir_not_found(res);
  }
  const char *url = res->path;
  bool slash = url == nullptr || dir_ends_with_slash(url);
  if (S_ISREG(f.st.st_mode)) {
    if (!slash) return dir_send_file(res, rootfd, rel, &f);
    // "file/" names a directory that is not there.
    ox__cachedfile_release(&f);
    return dir_not_found(res);
  }
  dir_fd fd(f.fd);
  if (!S_ISDIR(f.st.st_mode)) return dir_not_found(res);
  if (!slash) return dir_redirect(res);
  return dir_send_directory(res, rootfd, root, fd, rel);
}
