// Content types: the web's common extensions in one sorted table, found by
// binary search over the extension as written (compared without case), so
// a lookup costs a few comparisons and no allocation.
#include "ox_mime.h"

#include <strings.h>

#include <cstring>
#include <iterator>

namespace {

struct mime_entry {
  const char *ext;   // lower case, without the dot
  const char *type;
};

// Sorted by |ext| as strcasecmp() orders it: the search depends on it.
// Text types carry their charset: browsers would otherwise guess.
constexpr mime_entry mime_table[] = {
    {"7z", "application/x-7z-compressed"},
    {"aac", "audio/aac"},
    {"apng", "image/apng"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"bz2", "application/x-bzip2"},
    {"cjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"eot", "application/vnd.ms-fontobject"},
    {"epub", "application/epub+zip"},
    {"flac", "audio/flac"},
    {"gif", "image/gif"},
    {"gz", "application/gzip"},
    {"htm", "text/html; charset=utf-8"},
    {"html", "text/html; charset=utf-8"},
    {"ico", "image/vnd.microsoft.icon"},
    {"ics", "text/calendar; charset=utf-8"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript; charset=utf-8"},
    {"json", "application/json"},
    {"jsonld", "application/ld+json"},
    {"m4a", "audio/mp4"},
    {"map", "application/json"},
    {"md", "text/markdown; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/opus"},
    {"otf", "font/otf"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"rar", "application/vnd.rar"},
    {"rss", "application/rss+xml"},
    {"svg", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"tgz", "application/gzip"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"toml", "application/toml"},
    {"ts", "video/mp2t"},
    {"ttf", "font/ttf"},
    {"txt", "text/plain; charset=utf-8"},
    {"vtt", "text/vtt; charset=utf-8"},
    {"wasm", "application/wasm"},
    {"wav", "audio/wav"},
    {"weba", "audio/webm"},
    {"webm", "video/webm"},
    {"webmanifest", "application/manifest+json"},
    {"webp", "image/webp"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"xhtml", "application/xhtml+xml"},
    {"xml", "application/xml"},
    {"xz", "application/x-xz"},
    {"yaml", "application/yaml"},
    {"yml", "application/yaml"},
    {"zip", "application/zip"},
    {"zst", "application/zstd"},
};

constexpr char mime_default[] = "application/octet-stream";

// The extension of the last component of |path|: what follows its last
// dot, or NULL when it has none (a leading dot alone names no extension).
const char *mime_ext_of(const char *path) noexcept {
  const char *slash = strrchr(path, '/');
  const char *base = slash != nullptr ? slash + 1 : path;
  const char *dot = strrchr(base, '.');
  if (dot == nullptr || dot == base || dot[1] == '\0') return nullptr;
  return dot + 1;
}

const char *mime_builtin(const char *ext) noexcept {
  size_t lo = 0, hi = std::size(mime_table);
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int cmp = strcasecmp(ext, mime_table[mid].ext);
    if (cmp == 0) return mime_table[mid].type;
    if (cmp < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return nullptr;
}

bool mime_starts_with(const char *type, const char *prefix) noexcept {
  return strncasecmp(type, prefix, strlen(prefix)) == 0;
}

}  // namespace

bool ox__mime_ext_key(const char *ext, char *out) noexcept {
  if (*ext == '.') ext++;
  size_t len = strlen(ext);
  if (len == 0 || len > ox__mime_ext_max) return false;
  for (size_t i = 0; i < len; i++) {
    char c = ext[i];
    if (c == '/' || c == '.') return false;
    out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  out[len] = '\0';
  return true;
}

const char *ox__mime_of(ox_strmap *overrides, const char *path) noexcept {
  const char *ext = mime_ext_of(path);
  if (ext == nullptr) return mime_default;
  char key[ox__mime_ext_max + 1];
  if (overrides != nullptr && ox__mime_ext_key(ext, key)) {
    const char *type = ox_strmap_get(overrides, key);
    if (type != nullptr) return type;
  }
  const char *type = mime_builtin(ext);
  return type != nullptr ? type : mime_default;
}

bool ox__mime_compressible(const char *type) noexcept {
  if (type == nullptr) return false;
  if (mime_starts_with(type, "text/")) return true;
  static const char *const others[] = {
      "application/json",     "application/ld+json",
      "application/manifest+json", "application/xml",
      "application/xhtml+xml", "application/rss+xml",
      "application/javascript", "application/wasm",
      "application/yaml",     "application/toml",
      "image/svg+xml",        "image/bmp",
      "image/vnd.microsoft.icon",
  };
  for (const char *other : others) {
    if (mime_starts_with(type, other)) {
      char next = type[strlen(other)];
      if (next == '\0' || next == ';' || next == ' ') return true;
    }
  }
  return false;
}
