// String map: case-insensitive lookups that keep the spelling, duplicates,
// set, sort and iteration, and maps left as they were when memory runs out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ombrix.h"
#include "support/alloc_torture.h"

namespace {

// Owns a map for one test.
struct Map {
  ox_strmap *map = nullptr;
  Map() = default;
  Map(const Map &) = delete;
  Map &operator=(const Map &) = delete;
  ~Map() { ox_strmap_cleanup(&map); }
};

int DumpPair(void *cls, ox_strmap *pair) {
  auto *out = static_cast<std::string *>(cls);
  if (!out->empty()) *out += ",";
  *out += std::string(ox_strmap_name(pair)) + "=" + ox_strmap_val(pair);
  return 0;
}

// "name=val,..." in map order, then the count: the whole visible state.
std::string Dump(ox_strmap *map) {
  std::string out;
  EXPECT_EQ(ox_strmap_iter(map, DumpPair, &out), 0);
  return out + " #" + std::to_string(ox_strmap_count(map));
}

std::string Get(ox_strmap *map, const char *name) {
  const char *val = ox_strmap_get(map, name);
  return val != nullptr ? val : "(null)";
}

TEST(OxStrmap, LookupIgnoresAsciiCaseAndKeepsTheSpelling) {
  Map m;
  ASSERT_EQ(ox_strmap_add(&m.map, "Content-Type", "text/html"), 0);
  ASSERT_EQ(ox_strmap_add(&m.map, "\xC3\x84rger", "umlaut"), 0);
  for (const char *name : {"Content-Type", "content-type", "CONTENT-TYPE"}) {
    SCOPED_TRACE(name);
    ox_strmap *pair = nullptr;
    ASSERT_EQ(ox_strmap_find(m.map, name, &pair), 0);
    EXPECT_STREQ(ox_strmap_name(pair), "Content-Type");
    EXPECT_STREQ(ox_strmap_val(pair), "text/html");
  }
  // Only ASCII letters fold: other bytes must match exactly.
  EXPECT_EQ(Get(m.map, "\xC3\xA4rger"), "(null)");
  EXPECT_EQ(Get(m.map, "\xC3\x84RGER"), "umlaut");
  EXPECT_EQ(Get(m.map, "Content-Typ"), "(null)");
  EXPECT_EQ(Get(m.map, "Content-Type "), "(null)");
}

TEST(OxStrmap, AddKeepsDuplicatesAndTheFirstAddedWinsLookups) {
  Map m;
  const char *adds[][2] = {{"Set-Cookie", "a=1"},
                           {"Host", "h"},
                           {"set-cookie", "b=2"},
                           {"SET-COOKIE", "c=3"}};
  for (const auto &a : adds) ASSERT_EQ(ox_strmap_add(&m.map, a[0], a[1]), 0);
  EXPECT_EQ(Dump(m.map),
            "Set-Cookie=a=1,Host=h,set-cookie=b=2,SET-COOKIE=c=3 #4");
  EXPECT_EQ(Get(m.map, "set-cookie"), "a=1");
}

TEST(OxStrmap, FirstAddedWinsEvenInACrowdedBucket) {
  // Enough duplicates to make the table grow its buckets on their account.
  Map m;
  for (int i = 0; i < 40; ++i) {
    std::string val = std::to_string(i);
    ASSERT_EQ(ox_strmap_add(&m.map, i % 2 ? "dup" : "DUP", val.c_str()), 0);
    ASSERT_EQ(Get(m.map, "Dup"), "0") << "after " << i;
  }
  EXPECT_EQ(ox_strmap_count(m.map), 40u);
}

TEST(OxStrmap, LookupsSurviveTableGrowth) {
  Map m;
  for (int i = 0; i < 500; ++i) {
    std::string name = "Header-" + std::to_string(i);
    ASSERT_EQ(ox_strmap_add(&m.map, name.c_str(), name.c_str() + 7), 0);
  }
  for (int i = 0; i < 500; ++i) {
    std::string name = "hEADER-" + std::to_string(i);
    ASSERT_EQ(Get(m.map, name.c_str()), std::to_string(i));
  }
  EXPECT_EQ(Get(m.map, "Header-500"), "(null)");
}

TEST(OxStrmap, SetReplacesTheFirstInPlaceAndRemovesLaterDuplicates) {
  Map m;
  const char *adds[][2] = {
      {"X-A", "1"}, {"b", "2"}, {"x-a", "3"}, {"c", "4"}, {"X-a", "5"}};
  for (const auto &a : adds) ASSERT_EQ(ox_strmap_add(&m.map, a[0], a[1]), 0);
  ASSERT_EQ(ox_strmap_set(&m.map, "x-A", "new"), 0);
  EXPECT_EQ(Dump(m.map), "X-A=new,b=2,c=4 #3");
  // Without a pair of that name, set adds one at the end.
  ASSERT_EQ(ox_strmap_set(&m.map, "D", "d"), 0);
  ASSERT_EQ(ox_strmap_set(&m.map, "b", "two"), 0);
  EXPECT_EQ(Dump(m.map), "X-A=new,b=two,c=4,D=d #4");
}

TEST(OxStrmap, SetOnTheHeadDuplicateKeepsTheMapUsable) {
  Map m;
  ASSERT_EQ(ox_strmap_add(&m.map, "k", "1"), 0);
  ASSERT_EQ(ox_strmap_add(&m.map, "K", "2"), 0);
  ASSERT_EQ(ox_strmap_set(&m.map, "k", "3"), 0);
  ASSERT_EQ(ox_strmap_add(&m.map, "k", "4"), 0);
  EXPECT_EQ(Dump(m.map), "k=3,k=4 #2");
  EXPECT_EQ(Get(m.map, "K"), "3");
}

int ByValue(void *cls, ox_strmap *a, ox_strmap *b) {
  int direction = *static_cast<int *>(cls);
  // Only the first byte counts, so equal keys show whether the sort is stable.
  return direction * (ox_strmap_val(a)[0] - ox_strmap_val(b)[0]);
}

TEST(OxStrmap, SortIsStableUsesClsAndReordersDuplicateLookups) {
  Map m;
  const char *adds[][2] = {
      {"a", "2x"}, {"b", "1"}, {"c", "2y"}, {"A", "3"}, {"d", "1z"}};
  for (const auto &a : adds) ASSERT_EQ(ox_strmap_add(&m.map, a[0], a[1]), 0);
  int ascending = 1;
  ASSERT_EQ(ox_strmap_sort(&m.map, ByValue, &ascending), 0);
  EXPECT_EQ(Dump(m.map), "b=1,d=1z,a=2x,c=2y,A=3 #5");
  int descending = -1;
  ASSERT_EQ(ox_strmap_sort(&m.map, ByValue, &descending), 0);
  EXPECT_EQ(Dump(m.map), "A=3,a=2x,c=2y,b=1,d=1z #5");
  // Of two pairs named alike, the first in map order answers lookups.
  EXPECT_EQ(Get(m.map, "a"), "3");
  EXPECT_EQ(Get(m.map, "D"), "1z");
}

int StopAtSecond(void *cls, ox_strmap *pair) {
  auto *seen = static_cast<std::string *>(cls);
  *seen += ox_strmap_name(pair);
  return seen->size() == 2 ? 7 : 0;
}

TEST(OxStrmap, IterationStopsWithTheCallbacksValue) {
  Map m;
  for (const char *n : {"a", "b", "c"})
    ASSERT_EQ(ox_strmap_add(&m.map, n, n), 0);
  std::string seen;
  EXPECT_EQ(ox_strmap_iter(m.map, StopAtSecond, &seen), 7);
  EXPECT_EQ(seen, "ab");
}

int NeverCalled(void *, ox_strmap *) {
  ADD_FAILURE() << "callback called";
  return 0;
}
int NeverCompared(void *, ox_strmap *, ox_strmap *) {
  ADD_FAILURE() << "comparator called";
  return 0;
}

TEST(OxStrmap, EmptyMapAnswersEveryQuery) {
  ox_strmap *map = nullptr;
  ox_strmap *pair = reinterpret_cast<ox_strmap *>(&map);  // must be cleared
  errno = 4242;
  EXPECT_EQ(ox_strmap_find(map, "x", &pair), ENOENT);
  EXPECT_EQ(pair, nullptr);
  EXPECT_EQ(ox_strmap_get(map, "x"), nullptr);
  EXPECT_EQ(ox_strmap_count(map), 0u);
  EXPECT_EQ(ox_strmap_iter(map, NeverCalled, nullptr), 0);
  EXPECT_EQ(ox_strmap_sort(&map, NeverCompared, nullptr), 0);
  EXPECT_EQ(errno, 4242);
  ox_strmap_cleanup(&map);
  ox_strmap_cleanup(nullptr);
  EXPECT_EQ(map, nullptr);
}

TEST(OxStrmap, RefusesBadArgumentsAndSetsErrnoOnlyInGetters) {
  Map m;
  ASSERT_EQ(ox_strmap_add(&m.map, "a", "1"), 0);
  ox_strmap *pair = m.map;
  errno = 4242;
  EXPECT_EQ(ox_strmap_add(nullptr, "a", "1"), EINVAL);
  EXPECT_EQ(ox_strmap_add(&m.map, nullptr, "1"), EINVAL);
  EXPECT_EQ(ox_strmap_add(&m.map, "a", nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_set(nullptr, "a", "1"), EINVAL);
  EXPECT_EQ(ox_strmap_set(&m.map, nullptr, "1"), EINVAL);
  EXPECT_EQ(ox_strmap_set(&m.map, "a", nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_find(m.map, nullptr, &pair), EINVAL);
  EXPECT_EQ(pair, m.map);  // not written
  EXPECT_EQ(ox_strmap_find(m.map, "a", nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_iter(m.map, nullptr, nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_sort(nullptr, NeverCompared, nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_sort(&m.map, nullptr, nullptr), EINVAL);
  EXPECT_EQ(ox_strmap_get(m.map, "zz"), nullptr);
  EXPECT_EQ(errno, 4242);
  EXPECT_EQ(Dump(m.map), "a=1 #1");

  EXPECT_EQ(ox_strmap_get(m.map, nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_strmap_name(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_strmap_val(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

// Each scenario starts from a map made by |setup| and changes it once.
struct TortureCase {
  const char *name;
  int setup_dups;  // pairs named "Dup" added first (10 fill a bucket)
  bool set;        // ox_strmap_set instead of ox_strmap_add
  const char *key;
  unsigned long allocs;  // what the change allocates, all of it tortured
};

TEST(OxStrmap, FailedAllocationLeavesTheMapAsItWas) {
  const TortureCase cases[] = {
      {"add to the empty map", 0, false, "k", 4},  // pair, value, table
      {"add beside others", 3, false, "k", 2},
      {"add a duplicate that grows the buckets", 9, false, "dUP", 3},
      {"set a new name", 3, true, "k", 2},
      {"set over duplicates", 3, true, "dup", 1},
  };
  for (const TortureCase &c : cases) {
    SCOPED_TRACE(c.name);
    unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
      Map m;
      for (int i = 0; i < c.setup_dups; ++i)
        EXPECT_EQ(ox_strmap_add(&m.map, "Dup", std::to_string(i).c_str()), 0);
      std::string before = Dump(m.map);
      std::string first = Get(m.map, c.key);
      errno = 4242;
      oxtest::alloc_arm(fail_at);
      int rc = c.set ? ox_strmap_set(&m.map, c.key, "v")
                     : ox_strmap_add(&m.map, c.key, "v");
      unsigned long calls = oxtest::alloc_disarm();
      EXPECT_EQ(errno, 4242);
      if (fail_at == 0) {
        EXPECT_EQ(rc, 0);
        EXPECT_NE(Dump(m.map), before);
      } else {
        EXPECT_EQ(rc, ENOMEM);
        EXPECT_EQ(Dump(m.map), before);
        EXPECT_EQ(Get(m.map, c.key), first);
        // The map still takes pairs.
        EXPECT_EQ(ox_strmap_add(&m.map, "after", "1"), 0);
        EXPECT_EQ(Get(m.map, "AFTER"), "1");
      }
      return calls;
    });
    EXPECT_EQ(count, c.allocs);
  }
}

}  // namespace
