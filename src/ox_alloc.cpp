// The library's allocator: calloc/realloc/free, with counting and failure
// injection compiled in for the test build only.
#include "ox_alloc.h"

#include <cstdlib>
#include <cstring>

#ifdef OX_ALLOC_HOOKS
#include <atomic>

namespace {

std::atomic<unsigned long> alloc_calls{0};
std::atomic<unsigned long> alloc_fail_at{0};

// Counts one allocation and tells whether it is the one to fail.
bool alloc_should_fail() noexcept {
  unsigned long n = alloc_calls.fetch_add(1) + 1;
  unsigned long target = alloc_fail_at.load();
  return target != 0 && n == target;
}

}  // namespace

void ox__alloc_hooks_reset(void) {
  alloc_fail_at.store(0);
  alloc_calls.store(0);
}

unsigned long ox__alloc_calls(void) { return alloc_calls.load(); }

void ox__alloc_fail_at(unsigned long n) {
  alloc_fail_at.store(n == 0 ? 0 : alloc_calls.load() + n);
}

#define OX_ALLOC_FAILS() alloc_should_fail()
#else
#define OX_ALLOC_FAILS() false
#endif

void *ox_alloc(size_t size) noexcept {
  if (OX_ALLOC_FAILS()) return nullptr;
  return calloc(1, size == 0 ? 1 : size);
}

void *ox_realloc(void *ptr, size_t size) noexcept {
  if (OX_ALLOC_FAILS()) return nullptr;
  // realloc(p, 0) may free p and return NULL, which callers could not tell
  // from a failure; one byte keeps "NULL means nothing happened" true.
  return realloc(ptr, size == 0 ? 1 : size);
}

void ox_free(void *ptr) noexcept { free(ptr); }

void *ox__alloc_aligned(size_t align, size_t size) noexcept {
  if (OX_ALLOC_FAILS()) return nullptr;
  size_t rounded = (size + align - 1) / align * align;
  void *block = aligned_alloc(align, rounded == 0 ? align : rounded);
  if (block != nullptr) memset(block, 0, rounded);
  return block;
}

void *ox__std_malloc(size_t size) noexcept {
  if (OX_ALLOC_FAILS()) return nullptr;
  return malloc(size);
}

void *ox__std_realloc(void *ptr, size_t size) noexcept {
  if (OX_ALLOC_FAILS()) return nullptr;
  return realloc(ptr, size);
}

char *ox__strdup(const char *s) noexcept {
  size_t len = strlen(s);
  auto *copy = static_cast<char *>(ox_alloc(len + 1));
  if (copy != nullptr) memcpy(copy, s, len + 1);
  return copy;
}
