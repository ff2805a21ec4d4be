// The version, error texts, entry point names and the PCRE2 error mapping.
#include "ox_core.h"

#include <cstdio>
#include <cstring>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "ombrix.h"
#include "ox_alloc.h"

const char *ox_version(void) noexcept { return OMBRIX_VERSION_STRING; }

int ox_strerror(int errnum, char *errmsg, size_t size) noexcept {
  if (errmsg == nullptr || size == 0) return EINVAL;
  ox__errno_guard keep;
  char scratch[256];
  // GNU strerror_r returns the text, which may or may not be |scratch|.
  const char *text = strerror_r(errnum, scratch, sizeof(scratch));
  snprintf(errmsg, size, "%s", text);
  return 0;
}

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

int ox__from_pcre2(int rc) noexcept {
  switch (rc) {
    case 0:
      return 0;
    case PCRE2_ERROR_NOMEMORY:
      return ENOMEM;
    case PCRE2_ERROR_JIT_BADOPTION:
      return ENOTSUP;
    default:
      return EINVAL;
  }
}
