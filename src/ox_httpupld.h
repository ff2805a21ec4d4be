// Uploaded files: each streamed into a temporary file of the upload
// directory while the body arrives.
#ifndef OX_HTTPUPLD_H
#define OX_HTTPUPLD_H

#include <sys/types.h>

#include <cstdint>

#include "ombrix.h"

struct ox_httpupld {
  ox_httpupld *next;  // next upload of the request, in arrival order
  const char *dir;    // the server's upload directory
  char *field;        // form field name
  char *name;         // file name as the client gave it
  char *mime;         // MIME type as the client gave it, or NULL
  char *path;         // the temporary file, or where it was saved
  int fd;             // open while data arrives; -1 afterwards
  mode_t mode;        // what a saved file gets: 0666 less the umask
  bool saved;         // |path| is the program's file, no longer ours
  uint64_t size;      // bytes received
};

// The mode of an ordinary new file: 0666 less the process's umask, read
// without changing it.  Thread-safe where /proc is mounted.
mode_t ox__httpupld_file_mode() noexcept;

// Starts an upload with a new temporary file in |dir|, which becomes
// |mode| once saved.  Returns 0 or an errno code; |*out| is set on
// success.
int ox__httpupld_new(const char *dir, mode_t mode, const char *field,
                     const char *name, const char *mime,
                     ox_httpupld **out) noexcept;

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
