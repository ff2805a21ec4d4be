// Entry point table: add, remove and find work on the first segment of a
// path; lookups are binary searches over the sorted array.
#include "ox_entrypoints.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "ox_alloc.h"
#include "ox_core.h"

namespace {

using name_ptr = std::unique_ptr<char, ox__free_deleter>;

ox_entrypoint *entrypoints_search(ox_entrypoints *entrypoints,
                                  char *name) noexcept {
  if (entrypoints->count == 0) return nullptr;
  ox_entrypoint key{name, nullptr};
  return static_cast<ox_entrypoint *>(
      bsearch(&key, entrypoints->list, entrypoints->count,
              sizeof(ox_entrypoint), ox__entrypoint_cmp));
}

int entrypoints_add(ox_entrypoints *entrypoints, name_ptr &name,
                    void *user_data) noexcept {
  if (entrypoints_search(entrypoints, name.get()) != nullptr) return EALREADY;
  size_t count = entrypoints->count;
  auto *list = static_cast<ox_entrypoint *>(
      ox_realloc(entrypoints->list, (count + 1) * sizeof(ox_entrypoint)));
  if (list == nullptr) return ENOMEM;
  entrypoints->list = list;
  entrypoints->count++;
  ox__entrypoint_prepare(&list[count], name.release(), user_data);
  qsort(list, entrypoints->count, sizeof(ox_entrypoint), ox__entrypoint_cmp);
  return 0;
}

int entrypoints_rm(ox_entrypoints *entrypoints, const char *name) noexcept {
  for (unsigned int i = 0; i < entrypoints->count; i++) {
    if (strcmp(entrypoints->list[i].name, name) != 0) continue;
    entrypoints->count--;
    ox_free(entrypoints->list[i].name);
    memmove(&entrypoints->list[i], &entrypoints->list[i + 1],
            (entrypoints->count - i) * sizeof(ox_entrypoint));
    if (entrypoints->count == 0) {
      ox_free(entrypoints->list);
      entrypoints->list = nullptr;
      return 0;
    }
    // When the array cannot shrink, the old block still holds the
    // remaining records in order: keep it rather than lose them.
    auto *list = static_cast<ox_entrypoint *>(ox_realloc(
        entrypoints->list, entrypoints->count * sizeof(ox_entrypoint)));
    if (list != nullptr) entrypoints->list = list;
    return 0;
  }
  return ENOENT;
}

}  // namespace

ox_entrypoints *ox_entrypoints_new(void) noexcept {
  return static_cast<ox_entrypoints *>(ox_alloc(sizeof(ox_entrypoints)));
}

void ox_entrypoints_free(ox_entrypoints *entrypoints) noexcept {
  ox_entrypoints_clear(entrypoints);
  ox_free(entrypoints);
}

int ox_entrypoints_add(ox_entrypoints *entrypoints, const char *path,
                       void *user_data) noexcept {
  if (entrypoints == nullptr || path == nullptr) return EINVAL;
  ox__errno_guard keep;
  name_ptr name{ox_extract_entrypoint(path)};
  if (!name) return ENOMEM;
  return entrypoints_add(entrypoints, name, user_data);
}

int ox_entrypoints_rm(ox_entrypoints *entrypoints, const char *path) noexcept {
  if (entrypoints == nullptr || path == nullptr) return EINVAL;
  ox__errno_guard keep;
  name_ptr name{ox_extract_entrypoint(path)};
  if (!name) return ENOMEM;
  return entrypoints_rm(entrypoints, name.get());
}

int ox_entrypoints_iter(ox_entrypoints *entrypoints, ox_entrypoints_iter_cb cb,
                        void *cls) noexcept {
  if (entrypoints == nullptr || cb == nullptr) return EINVAL;
  // An index, with count and list read afresh: a callback that adds or
  // removes entries cannot make the walk leave the array.
  for (unsigned int i = 0; i < entrypoints->count; i++) {
    if (int rc = cb(cls, &entrypoints->list[i]); rc != 0) return rc;
  }
  return 0;
}

int ox_entrypoints_clear(ox_entrypoints *entrypoints) noexcept {
  if (entrypoints == nullptr) return EINVAL;
  for (unsigned int i = 0; i < entrypoints->count; i++) {
    ox_free(entrypoints->list[i].name);
  }
  ox_free(entrypoints->list);
  entrypoints->list = nullptr;
  entrypoints->count = 0;
  return 0;
}

int ox_entrypoints_find(ox_entrypoints *entrypoints,
                        ox_entrypoint **entrypoint, const char *path) noexcept {
  if (entrypoints == nullptr || entrypoint == nullptr || path == nullptr) {
    return EINVAL;
  }
  ox__errno_guard keep;
  name_ptr name{ox_extract_entrypoint(path)};
  if (!name) return ENOMEM;
  *entrypoint = entrypoints_search(entrypoints, name.get());
  return *entrypoint != nullptr ? 0 : ENOENT;
}
