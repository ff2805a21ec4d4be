// Allocation helpers shared by the library's sources, and the test hooks
// that make allocations fail on demand.
#ifndef OX_ALLOC_H
#define OX_ALLOC_H

#include <cstddef>

#include "ombrix.h"

// The standard allocator as the string buffer's body uses it.  These are
// plain malloc/realloc, routed through one place so that tests can count
// and fail them like ox_alloc().
void *ox__std_malloc(size_t size) noexcept;
void *ox__std_realloc(void *ptr, size_t size) noexcept;

// A zero-filled block of |size| bytes aligned to |align| (a power of two);
// NULL when memory runs out.  Release with ox_free().
void *ox__alloc_aligned(size_t align, size_t size) noexcept;

// Copies |s| into a block of ox_alloc(); NULL when memory runs out.
char *ox__strdup(const char *s) noexcept;

// Releases a block of ox_alloc() (unique_ptr deleter).
struct ox__free_deleter {
  void operator()(void *p) const noexcept { ox_free(p); }
};

#ifdef OX_ALLOC_HOOKS
// Test builds only.  Every allocation made by the library (ox_alloc,
// ox_realloc, ox__strdup and the string buffer's body) is counted, and the
// one chosen by ox__alloc_fail_at() fails.  Thread-safe.
extern "C" {
// Clears the count and disarms the failure.
void ox__alloc_hooks_reset(void);
// Number of allocations since the last reset.
unsigned long ox__alloc_calls(void);
// Makes the |n|-th allocation after this call fail (1 is the next one);
// 0 disarms.  Only that one allocation fails.
void ox__alloc_fail_at(unsigned long n);
}
#endif

#endif  // OX_ALLOC_H
