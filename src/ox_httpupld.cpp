// Uploads: temporary files while the body arrives, moved where the program
// says by ox_httpupld_save_as(), or into the upload directory by
// ox_httpupld_save(), where a client's file name never becomes a path
// outside that directory.  ox_safe_filename() makes such a name safe.
#include "ox_httpupld.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "ox_alloc.h"
#include "ox_core.h"

namespace {

constexpr size_t upld_name_max = 255;
// An extension this short survives when a long name is cut: "x.pdf" stays
// a PDF.
constexpr size_t upld_ext_max = 16;
// A temporary file's name, after its directory.
constexpr char upld_tmp_name[] = ".ox-upload-XXXXXX";

// A descriptor closed when it goes out of scope.
struct upld_fd {
  int fd = -1;
  upld_fd() noexcept = default;
  upld_fd(const upld_fd &) = delete;
  upld_fd &operator=(const upld_fd &) = delete;
  ~upld_fd() {
    if (fd >= 0) close(fd);
  }
};

using upld_text = std::unique_ptr<char, ox__free_deleter>;

void upld_free(ox_httpupld *upld) noexcept {
  if (upld->fd >= 0) close(upld->fd);
  if (upld->path != nullptr && !upld->saved) unlink(upld->path);
  ox_free(upld->path);
  ox_free(upld->field);
  ox_free(upld->name);
  ox_free(upld->mime);
  ox_free(upld);
}

// A name that stays inside the directory: one path component, no control
// bytes, not "." or "..".
bool upld_name_safe(const char *name) noexcept {
  size_t len = strlen(name);
  if (len == 0 || len > upld_name_max) return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  for (const char *p = name; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

// Moves |from| to |to| on one file system; without |overwrite| an existing
// |to| is EEXIST.  Either way the move is one step of the file system, so
// two saves racing for one name never both succeed, and no one sees |to|
// half there.
int upld_move(const char *from, const char *to, bool overwrite) noexcept {
  if (overwrite) return rename(from, to) == 0 ? 0 : errno;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: link() refuses to replace too.
  if (link(from, to) != 0) return errno;
  unlink(from);
  return 0;
}

// A new temporary file (mode 0600) in the directory of |path|: its name in
// |*tmp|, its descriptor in |fd|.
int upld_tmp_beside(const char *path, upld_text *tmp, upld_fd &fd) noexcept {
  const char *slash = strrchr(path, '/');
  size_t dir = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
  tmp->reset(static_cast<char *>(ox_alloc(dir + sizeof(upld_tmp_name))));
  if (!*tmp) return ENOMEM;
  memcpy(tmp->get(), path, dir);
  memcpy(tmp->get() + dir, upld_tmp_name, sizeof(upld_tmp_name));
  fd.fd = mkostemp(tmp->get(), O_CLOEXEC);
  return fd.fd >= 0 ? 0 : errno;
}

int upld_copy_data(const char *from, int out) noexcept {
  upld_fd in;
  in.fd = open(from, O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) return errno;
  for (;;) {
    ssize_t n = sendfile(out, in.fd, nullptr, 1 << 30);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
  }
}

// |from| and |to| lie on different file systems: copies |from| into a new
// temporary file beside |to| and moves that into place as upld_move()
// does, so |to| never shows a partial copy.  Nothing is synced: as with a
// move, a program that needs the file through a power loss fsync()s it.
int upld_copy_across(const char *from, const char *to, bool overwrite,
                     mode_t mode) noexcept {
  // Not the decision (the move below takes it), but a copy of a large
  // file is not made for nothing.
  if (!overwrite && faccessat(AT_FDCWD, to, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    return EEXIST;
  }
  upld_text tmp;
  upld_fd out;
  int rc = upld_tmp_beside(to, &tmp, out);
  if (rc != 0) return rc;
  if (fchmod(out.fd, mode) != 0) rc = errno;
  if (rc == 0) rc = upld_copy_data(from, out.fd);
  // A write the file system could only fail at close.
  if (close(std::exchange(out.fd, -1)) != 0 && rc == 0) rc = errno;
  if (rc == 0) rc = upld_move(tmp.get(), to, overwrite);
  if (rc != 0) {
    unlink(tmp.get());
    return rc;
  }
  unlink(from);
  return 0;
}

// Puts the temporary file of |upld| at |to|.  The file was private while
// it was written; at |to| it becomes the program's, with an ordinary new
// file's mode.
int upld_place(ox_httpupld *upld, const char *to, bool overwrite) noexcept {
  if (upld->saved) return EALREADY;
  ox__errno_guard keep;
  upld_text copy{ox__strdup(to)};
  if (!copy) return ENOMEM;
  if (chmod(upld->path, upld->mode) != 0) return errno;
  int rc = upld_move(upld->path, to, overwrite);
  if (rc == EXDEV) rc = upld_copy_across(upld->path, to, overwrite, upld->mode);
  if (rc != 0) {
    chmod(upld->path, S_IRUSR | S_IWUSR);
    return rc;
  }
  ox_free(upld->path);
  upld->path = copy.release();
  upld->saved = true;
  return 0;
}

char *upld_dup_or_null(const char *s) noexcept {
  return s != nullptr ? ox__strdup(s) : nullptr;
}

// The umask as Linux (4.7 on) shows it in /proc/self/status, so that it
// is read without being set.
bool upld_read_umask(mode_t *mask) noexcept {
  upld_fd status;
  status.fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (status.fd < 0) return false;
  char buf[1024];  // the line is the second; the first holds a short name
  ssize_t n = read(status.fd, buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char *line = strstr(buf, "\nUmask:");
  if (line == nullptr) return false;
  char *end = nullptr;
  unsigned long value = strtoul(line + 7, &end, 8);
  if (end == line + 7 || value > 0777) return false;
  *mask = static_cast<mode_t>(value);
  return true;
}

// The length of the UTF-8 character at |p| (1 to 4), or 0 where |p| is
// not one: a stray continuation byte, an overlong form, a surrogate, past
// U+10FFFF, or cut short.
size_t name_char_length(const unsigned char *p) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // the second byte's range
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  // A NUL fails each test, so nothing past the text's end is read.
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  return n;
}

// Control characters: C0, DEL and C1 (U+0080..U+009F).
bool name_is_control(const unsigned char *p, size_t n) noexcept {
  if (n == 1) return p[0] < 0x20 || p[0] == 0x7f;
  return n == 2 && p[0] == 0xc2 && p[1] < 0xa0;
}

// Characters a shell, or a file system of another system, reads as more
// than a name.
bool name_is_troublesome(unsigned char c) noexcept {
  return c != '\0' && strchr("\"*:<>?|", c) != nullptr;
}

// Copies the characters of |name| that may stay into |out| (room for all
// of |name|): control characters dropped, troublesome ones and bytes that
// are not UTF-8 made '_'.  Returns the length; never more than |name|'s.
size_t name_clean(const char *name, char *out) noexcept {
  size_t len = 0;
  for (auto *p = reinterpret_cast<const unsigned char *>(name); *p != '\0';) {
    size_t n = name_char_length(p);
    if (n == 0 || (n == 1 && name_is_troublesome(*p))) {
      out[len++] = '_';
      p++;
      continue;
    }
    if (!name_is_control(p, n)) {
      memcpy(out + len, p, n);
      len += n;
    }
    p += n;
  }
  return len;
}

// Cuts the valid UTF-8 |name| of |len| bytes to at most |limit| on a
// character boundary, keeping a short extension; 0 when not even its
// first character fits.  |name| starts with no dot.
size_t name_cut(char *name, size_t len, size_t limit) noexcept {
  if (len <= limit) return len;
  const auto *dot = static_cast<const char *>(memrchr(name, '.', len));
  size_t ext = dot != nullptr ? static_cast<size_t>(name + len - dot) : 0;
  // Four bytes for the stem's first character, whatever it is.
  if (ext > upld_ext_max || ext + 4 > limit) ext = 0;
  size_t stem = limit - ext;
  while (stem > 0 && (static_cast<unsigned char>(name[stem]) & 0xc0) == 0x80) {
    stem--;
  }
  memmove(name + stem, name + len - ext, ext);
  return stem + ext;
}

bool name_trimmed_at_end(char c) noexcept { return c == '.' || c == ' '; }

// Dots make a hidden file (and "." and ".."), a dash an option to a
// command the name is handed to.
bool name_trimmed_at_start(char c) noexcept {
  return name_trimmed_at_end(c) || c == '-';
}

}  // namespace

mode_t ox__httpupld_file_mode() noexcept {
  mode_t mask = 0;
  if (!upld_read_umask(&mask)) {
    // umask() reads only by setting: a file another thread creates in
    // between gets 022.  Only where /proc is not mounted.
    mask = umask(022);
    umask(mask);
  }
  return 0666 & ~mask;
}

int ox__httpupld_new(const char *dir, mode_t mode, const char *field,
                     const char *name, const char *mime,
                     ox_httpupld **out) noexcept {
  ox__errno_guard keep;
  auto *upld = static_cast<ox_httpupld *>(ox_alloc(sizeof(ox_httpupld)));
  if (upld == nullptr) return ENOMEM;
  upld->fd = -1;
  upld->dir = dir;
  upld->mode = mode;
  upld->field = upld_dup_or_null(field != nullptr ? field : "");
  upld->name = upld_dup_or_null(name);
  upld->mime = upld_dup_or_null(mime);
  size_t len = strlen(dir) + 1 + sizeof(upld_tmp_name);
  upld->path = static_cast<char *>(ox_alloc(len));
  if (upld->field == nullptr || upld->name == nullptr ||
      upld->path == nullptr || (mime != nullptr && upld->mime == nullptr)) {
    upld_free(upld);
    return ENOMEM;
  }
  snprintf(upld->path, len, "%s/%s", dir, upld_tmp_name);
  upld->fd = mkostemp(upld->path, O_CLOEXEC);
  if (upld->fd < 0) {
    int rc = errno;
    ox_free(upld->path);
    upld->path = nullptr;
    upld_free(upld);
    return rc;
  }
  *out = upld;
  return 0;
}

int ox__httpupld_write(ox_httpupld *upld, const char *data,
                       size_t size) noexcept {
  ox__errno_guard keep;
  while (size > 0) {
    ssize_t n = write(upld->fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
    upld->size += static_cast<uint64_t>(n);
  }
  return 0;
}

void ox__httpupld_close(ox_httpupld *upld) noexcept {
  if (upld->fd >= 0) close(upld->fd);
  upld->fd = -1;
}

void ox__httpuplds_close(ox_httpupld *list) noexcept {
  for (; list != nullptr; list = list->next) ox__httpupld_close(list);
}

void ox__httpuplds_free(ox_httpupld *list) noexcept {
  ox__errno_guard keep;
  while (list != nullptr) {
    ox_httpupld *next = list->next;
    upld_free(list);
    list = next;
  }
}

int ox_httpuplds_next(ox_httpupld **upld) noexcept {
  if (upld == nullptr || *upld == nullptr) return EINVAL;
  *upld = (*upld)->next;
  return 0;
}

const char *ox_httpupld_name(ox_httpupld *upld) noexcept {
  if (upld == nullptr) return ox__einval<const char *>(nullptr);
  return upld->name;
}

const char *ox_httpupld_field(ox_httpupld *upld) noexcept {
  if (upld == nullptr) return ox__einval<const char *>(nullptr);
  return upld->field;
}

const char *ox_httpupld_mime(ox_httpupld *upld) noexcept {
  if (upld == nullptr) return ox__einval<const char *>(nullptr);
  return upld->mime;
}

uint64_t ox_httpupld_size(ox_httpupld *upld) noexcept {
  if (upld == nullptr) return ox__einval<uint64_t>(0);
  return upld->size;
}

const char *ox_httpupld_path(ox_httpupld *upld) noexcept {
  if (upld == nullptr) return ox__einval<const char *>(nullptr);
  return upld->path;
}

int ox_httpupld_save_as(ox_httpupld *upld, const char *path,
                        bool overwrite) noexcept {
  if (upld == nullptr || path == nullptr || *path == '\0') return EINVAL;
  return upld_place(upld, path, overwrite);
}

int ox_httpupld_save(ox_httpupld *upld, bool overwritten) noexcept {
  if (upld == nullptr) return EINVAL;
  if (upld->saved) return EALREADY;
  if (!upld_name_safe(upld->name)) return EINVAL;
  char path[PATH_MAX];
  int len = snprintf(path, sizeof(path), "%s/%s", upld->dir, upld->name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return ENAMETOOLONG;
  return upld_place(upld, path, overwritten);
}

int ox_safe_filename(const char *name, char *out, size_t size) noexcept {
  if (out != nullptr && size != 0) *out = '\0';
  if (name == nullptr || out == nullptr || size == 0) return EINVAL;
  // The last component, for a path of either kind ("C:\\docs\\a.txt").
  const char *base = name;
  for (const char *p = name; *p != '\0'; p++) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  ox__errno_guard keep;
  upld_text buf{static_cast<char *>(ox_alloc(strlen(base) + 1))};
  if (!buf) return ENOMEM;
  char *text = buf.get();
  size_t len = name_clean(base, text);
  while (len > 0 && name_trimmed_at_start(*text)) {
    text++;
    len--;
  }
  while (len > 0 && name_trimmed_at_end(text[len - 1])) len--;
  if (len == 0) return EINVAL;
  size_t limit = size - 1 < upld_name_max ? size - 1 : upld_name_max;
  len = name_cut(text, len, limit);
  if (len == 0) return ERANGE;  // not even the first character fits
  // A cut may end on a dot or a space again, never all the way back.
  while (len > 1 && name_trimmed_at_end(text[len - 1])) len--;
  memcpy(out, text, len);
  out[len] = '\0';
  return 0;
}
