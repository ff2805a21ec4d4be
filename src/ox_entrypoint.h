// The entry point record, kept by value in the table's sorted array.
#ifndef OX_ENTRYPOINT_H
#define OX_ENTRYPOINT_H

#include "ombrix.h"

struct ox_entrypoint {
  char *name;       // first segment of a path; owned by the table
  void *user_data;  // the program's pointer; never touched by the library
};

// Fills |entrypoint|, which takes |name| over.  Checks nothing.
void ox__entrypoint_prepare(ox_entrypoint *entrypoint, char *name,
                            void *user_data) noexcept;

// strcmp of the two records' names: the table's qsort/bsearch order.
int ox__entrypoint_cmp(const void *a, const void *b) noexcept;

#endif  // OX_ENTRYPOINT_H
