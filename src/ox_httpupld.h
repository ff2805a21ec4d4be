// Uploaded files: each streamed into a temporary file of the upload
// directory while the body arrives.
#ifndef OX_HTTPUPLD_H
#define OX_HTTPUPLD_H

#include <cstdint>

#include "ombrix.h"

struct ox_httpupld {
  ox_httpupld *next;  // next upload of the request, in arrival order
  const char *dir;    // the server's upload directory
  char *field;        // form field name
  char *name;         // file name as the client gave it
  char *mime;         // MIME type as the client gave it, or NULL
  char *tmp;          // path of the temporary file; NULL once moved away
  int fd;             // open while data arrives; -1 afterwards
  uint64_t size;      // bytes received
};

// Starts an upload with a new temporary file in |dir|.  Returns 0 or an
// errno code; |*out| is set on success.
int ox__httpupld_new(const char *dir, const char *field, const char *name,
                     const char *mime, ox_httpupld **out) noexcept;

// Appends |size| bytes to the temporary file.  0 or an errno code.
int ox__httpupld_write(ox_httpupld *upld, const char *data,
                       size_t size) noexcept;

// Closes the temporary file of |upld| once its data is in.
void ox__httpupld_close(ox_httpupld *upld) noexcept;

// Closes the temporary file of every upload in |list|.
void ox__httpuplds_close(ox_httpupld *list) noexcept;

// Closes, removes the temporary files not saved, and frees every upload.
void ox__httpuplds_free(ox_httpupld *list) noexcept;

#endif  // OX_HTTPUPLD_H
