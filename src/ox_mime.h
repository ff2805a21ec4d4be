// Content types by file extension: a sorted built-in table searched without
// allocating, under the overrides a program sets on its server.
#ifndef OX_MIME_H
#define OX_MIME_H

#include <cstddef>

#include "ombrix.h"

// The longest extension an override may have, without its dot.
constexpr size_t ox__mime_ext_max = 15;

// The type of the file named |path| (its extension after the last dot of
// the last component, in any case): the override in |overrides| (a map
// from lower-case extensions without dot; may be NULL), else the built-in
// one, else "application/octet-stream".  Never allocates.
const char *ox__mime_of(ox_strmap *overrides, const char *path) noexcept;

// True for types whose bodies shrink when compressed: text, JSON,
// JavaScript, XML, SVG, WebAssembly and the like.  Images, audio, video,
// archives and fonts are compressed already.
bool ox__mime_compressible(const char *type) noexcept;

// Copies the extension |ext| (with or without leading dot) lower-cased into
// |out| (ox__mime_ext_max + 1 bytes); false when it is empty, too long or
// holds a '/' or a '.' past the first.
bool ox__mime_ext_key(const char *ext, char *out) noexcept;

#endif  // OX_MIME_H
