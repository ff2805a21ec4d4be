// Entry point record: a name and the program's pointer.
#include "ox_entrypoint.h"

#include <cstring>

#include "ox_core.h"

void ox__entrypoint_prepare(ox_entrypoint *entrypoint, char *name,
                            void *user_data) noexcept {
  entrypoint->name = name;
  entrypoint->user_data = user_data;
}

int ox__entrypoint_cmp(const void *a, const void *b) noexcept {
  return strcmp(static_cast<const ox_entrypoint *>(a)->name,
                static_cast<const ox_entrypoint *>(b)->name);
}

const char *ox_entrypoint_name(ox_entrypoint *entrypoint) noexcept {
  if (entrypoint == nullptr) return ox__einval<const char *>(nullptr);
  return entrypoint->name;
}

int ox_entrypoint_set_user_data(ox_entrypoint *entrypoint,
                                void *data) noexcept {
  if (entrypoint == nullptr) return EINVAL;
  entrypoint->user_data = data;
  return 0;
}

void *ox_entrypoint_user_data(ox_entrypoint *entrypoint) noexcept {
  if (entrypoint == nullptr) return ox__einval<void *>(nullptr);
  return entrypoint->user_data;
}
