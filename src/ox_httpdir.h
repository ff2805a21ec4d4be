// Serving a file tree: request paths resolved beneath a root that nothing
// may leave, index pages, and listings of directories.
#ifndef OX_HTTPDIR_H
#define OX_HTTPDIR_H

// Opens |rel| (a relative path) beneath the directory |rootfd| with
// |flags|, refusing any resolution that leaves it: "..", absolute symbolic
// links, links that climb out.  With |use_openat2| the kernel checks it
// (openat2 with RESOLVE_BENEATH), falling back to the check below when the
// kernel lacks openat2 or a seccomp filter refuses it; without, the file
// is opened and its real path must lie under the root's.  Returns the
// descriptor, or -1 with errno set (EXDEV for a path that leaves the root).
int ox__httpdir_open_beneath(int rootfd, const char *rel, int flags,
                             bool use_openat2) noexcept;

// Turns the decoded request path |path| into the path |rel| (PATH_MAX
// bytes) relative to the root: components joined by single slashes, "."
// for the root itself.  False for a component that is "." or "..", or
// starts with a dot (hidden names are not served), and for a path too long
// for the file system.
bool ox__httpdir_relative(const char *path, char *rel) noexcept;

#endif  // OX_HTTPDIR_H
