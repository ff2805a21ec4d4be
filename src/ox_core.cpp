// The version and entry point names.
#include "ox_core.h"

#include <cstdio>
#include <cstring>

#include "ombrix.h"
#include "ox_alloc.h"

const char *ox_version(void) noexcept { return OMBRIX_VERSION_STRING; }

char *ox_extract_entrypoint(const char *path) noexcept {
  if (path == nullptr) return ox__einval<char *>(nullptr);
  size_t len = strlen(path);
  if (len > 1) {
    const char *slash = strchr(path + 1, '/');
    if (slash != nullptr) len = static_cast<size_t>(slash - path);
  }
  auto *name = static_cast<char *>(ox_alloc(len + 1));
  if (name != nullptr) memcpy(name, path, len);
  return name;
}
