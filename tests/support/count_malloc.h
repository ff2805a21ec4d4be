// Counts every call to the standard allocator in a test program, whoever
// makes it (PCRE2 and libmicrohttpd included), so a test can show that a
// path allocates nothing.  Outside the sanitizers only, which own malloc
// themselves: there OX_TEST_COUNT_MALLOC stays undefined.
//
// It defines malloc, calloc and realloc: include it from one source of a
// test program.
#ifndef OX_TEST_COUNT_MALLOC_H
#define OX_TEST_COUNT_MALLOC_H

#include <atomic>
#include <cstddef>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OX_TEST_COUNT_MALLOC 1
namespace {
std::atomic<unsigned long> std_alloc_calls{0};
}  // namespace
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *malloc(size_t size) noexcept {
  std_alloc_calls++;
  return __libc_malloc(size);
}
void *calloc(size_t n, size_t size) noexcept {
  std_alloc_calls++;
  return __libc_calloc(n, size);
}
void *realloc(void *ptr, size_t size) noexcept {
  std_alloc_calls++;
  return __libc_realloc(ptr, size);
}
}
#endif

#endif  // OX_TEST_COUNT_MALLOC_H
