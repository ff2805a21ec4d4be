// The entry point table: records sorted by name in one exact-size array.
#ifndef OX_ENTRYPOINTS_H
#define OX_ENTRYPOINTS_H

#include "ombrix.h"
#include "ox_entrypoint.h"

struct ox_entrypoints {
  ox_entrypoint *list;  // |count| records in strcmp order of their names
  unsigned int count;   // number of records; the array has no spare room
};

#endif  // OX_ENTRYPOINTS_H
