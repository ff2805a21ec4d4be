// The string buffer's handle.
#ifndef OX_STR_H
#define OX_STR_H

#include <utstring.h>

#include "ombrix.h"

struct ox_str {
  UT_string *buf;  // the text; never NULL in a handle from ox_str_new()
};

#endif  // OX_STR_H
