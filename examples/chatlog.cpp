// chatlog: replays a chat through a string map, one pair per sender, then
// lists the senders sorted by their last message.
#include <cstdio>
#include <cstring>

#include "ombrix.h"

// Stores |msg| as the latest message of |name| and echoes what the map holds.
static void chat(ox_strmap **map, const char *name, const char *msg) {
  ox_strmap *pair;
  ox_strmap_set(map, name, msg);
  if (msg != nullptr && ox_strmap_find(*map, name, &pair) == 0)
    printf("%c:\t%s\n", ox_strmap_name(pair)[0], ox_strmap_val(pair));
}

// Descending byte order of the messages.
static int map_sort(void *cls, ox_strmap *pair_a, ox_strmap *pair_b) {
  (void)cls;
  return strcmp(ox_strmap_val(pair_b), ox_strmap_val(pair_a));
}

static int map_iter(void *cls, ox_strmap *pair) {
  (void)cls;
  const char *name = ox_strmap_name(pair);
  printf("\t%c: %s\n", name[0], name);
  return 0;
}

int main() {
  ox_strmap *map = nullptr;
  chat(&map, "Cavelo", "Hello!");
  chat(&map, "Pelna", "Hello. How are you?");
  chat(&map, "Cavelo", "I'm fine. And you?");
  chat(&map, "Pelna", "Me too.");
  printf("\nChatters:\n");
  ox_strmap_sort(&map, map_sort, nullptr);
  ox_strmap_iter(map, map_iter, nullptr);
  ox_strmap_cleanup(&map);
  return 0;
}
