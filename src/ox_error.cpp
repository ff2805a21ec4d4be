// Error texts and codes.
#include "ox_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gnutls/gnutls.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "ombrix.h"
#include "ox_core.h"

int ox_strerror(int errnum, char *errmsg, size_t size) noexcept {
  if (errmsg == nullptr || size == 0) return EINVAL;
  ox__errno_guard keep;
  char scratch[256];
  // GNU strerror_r returns the text, which may or may not be |scratch|.
  const char *text = strerror_r(errnum, scratch, sizeof(scratch));
  snprintf(errmsg, size, "%s", text);
  return 0;
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

int ox__from_gnutls(int rc) noexcept {
  switch (rc) {
    case GNUTLS_E_SUCCESS:
      return 0;
    case GNUTLS_E_DECRYPTION_FAILED:
      return EACCES;
    case GNUTLS_E_MEMORY_ERROR:
      return ENOMEM;
    default:
      return EINVAL;
  }
}

const char *ox_escape(const char *text, char *out, size_t size) noexcept {
  if (text == nullptr || out == nullptr || size < 4) {
    return ox__einval<const char *>(nullptr);
  }
  return ox__escape(text, out, size);
}

const char *ox__escape(const char *text, char *out, size_t size) noexcept {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const char *p = text; *p != '\0'; p++) {
    auto c = static_cast<unsigned char>(*p);
    bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    size_t need = plain ? 1 : 4;
    if (n + need + 4 > size) {
      // Room for "..." and the NUL is kept to the end.
      memcpy(out + n, "...", 4);
      return out;
    }
    if (plain) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '\\';
      out[n++] = 'x';
      out[n++] = hex[c >> 4];
      out[n++] = hex[c & 15];
    }
  }
  out[n] = '\0';
  return out;
}
