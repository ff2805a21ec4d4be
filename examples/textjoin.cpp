// textjoin: joins two words in a string buffer with one formatted append.
#include <cstdio>

#include "ombrix.h"

int main() {
  ox_str *str = ox_str_new();
  ox_str_printf(str, "%s %s", "Hello", "world");
  // Without a buffer there is no content; printf must not see a null "%s".
  const char *content = ox_str_content(str);
  if (content != nullptr) printf("%s", content);
  ox_str_free(str);
  return 0;
}
