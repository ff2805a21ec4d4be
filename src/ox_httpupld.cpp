// Uploads: temporary files while the body arrives, moved into the upload
// directory by ox_httpupld_save().  A client's file name never becomes a
// path outside that directory.
#include "ox_httpupld.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ox_alloc.h"
#include "ox_core.h"

namespace {

constexpr size_t upld_name_max = 255;

void upld_free(ox_httpupld *upld) noexcept {
  if (upld->fd >= 0) close(upld->fd);
  if (upld->tmp != nullptr) unlink(upld->tmp);
  ox_free(upld->tmp);
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

// Moves |from| to |to|; without |overwrite| an existing |to| is EEXIST.
int upld_move(const char *from, const char *to, bool overwrite) noexcept {
  if (overwrite) return rename(from, to) == 0 ? 0 : errno;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: link() refuses to replace too.
  if (link(from, to) != 0) return errno;
  unlink(from);
  return 0;
}

char *upld_dup_or_null(const char *s) noexcept {
  return s != nullptr ? ox__strdup(s) : nullptr;
}

}  // namespace

int ox__httpupld_new(const char *dir, const char *field, const char *name,
                     const char *mime, ox_httpupld **out) noexcept {
  ox__errno_guard keep;
  auto *upld = static_cast<ox_httpupld *>(ox_alloc(sizeof(ox_httpupld)));
  if (upld == nullptr) return ENOMEM;
  upld->fd = -1;
  upld->dir = dir;
  upld->field = upld_dup_or_null(field != nullptr ? field : "");
  upld->name = upld_dup_or_null(name);
  upld->mime = upld_dup_or_null(mime);
  size_t len = strlen(dir) + sizeof("/.ox-upload-XXXXXX");
  upld->tmp = static_cast<char *>(ox_alloc(len));
  if (upld->field == nullptr || upld->name == nullptr || upld->tmp == nullptr ||
      (mime != nullptr && upld->mime == nullptr)) {
    upld_free(upld);
    return ENOMEM;
  }
  snprintf(upld->tmp, len, "%s/.ox-upload-XXXXXX", dir);
  upld->fd = mkostemp(upld->tmp, O_CLOEXEC);
  if (upld->fd < 0) {
    int rc = errno;
    ox_free(upld->tmp);
    upld->tmp = nullptr;
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

int ox_httpupld_save(ox_httpupld *upld, bool overwritten) noexcept {
  if (upld == nullptr || !upld_name_safe(upld->name)) return EINVAL;
  if (upld->tmp == nullptr) return EALREADY;
  char path[PATH_MAX];
  int len = snprintf(path, sizeof(path), "%s/%s", upld->dir, upld->name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) return ENAMETOOLONG;
  ox__errno_guard keep;
  if (int rc = upld_move(upld->tmp, path, overwritten); rc != 0) return rc;
  ox_free(upld->tmp);
  upld->tmp = nullptr;
  return 0;
}
