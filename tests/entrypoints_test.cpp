// Entry point table: names from the first path segment, strcmp order,
// duplicates, removal, iteration, and a table left intact when memory runs
// out.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ombrix.h"
#include "ox_entrypoint.h"
#include "ox_entrypoints.h"
#include "support/alloc_torture.h"

namespace {

struct Table {
  ox_entrypoints *eps = ox_entrypoints_new();
  Table() { EXPECT_NE(eps, nullptr); }
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;
  ~Table() { ox_entrypoints_free(eps); }
};

// User data values that print as one letter.
char A = 'A', B = 'B', C = 'C';

std::string Data(ox_entrypoint *e) {
  auto *data = static_cast<char *>(ox_entrypoint_user_data(e));
  return data != nullptr ? std::string(1, *data) : "-";
}

int DumpEntry(void *cls, ox_entrypoint *e) {
  auto *out = static_cast<std::string *>(cls);
  if (!out->empty()) *out += ",";
  *out += std::string(ox_entrypoint_name(e)) + "=" + Data(e);
  return 0;
}

// "name=data,..." in table order.
std::string Dump(ox_entrypoints *eps) {
  std::string out;
  EXPECT_EQ(ox_entrypoints_iter(eps, DumpEntry, &out), 0);
  return out;
}

// "name=data" of the entry that |path| finds, or the error number.
std::string Find(ox_entrypoints *eps, const char *path) {
  ox_entrypoint *e = nullptr;
  int rc = ox_entrypoints_find(eps, &e, path);
  if (rc != 0) {
    EXPECT_EQ(e, nullptr);
    return "err " + std::to_string(rc);
  }
  return std::string(ox_entrypoint_name(e)) + "=" + Data(e);
}

int NeverVisit(void *, ox_entrypoint *) {
  ADD_FAILURE() << "callback called";
  return 0;
}

TEST(OxEntrypoints, NewTableAnswersEveryQuery) {
  Table t;
  EXPECT_EQ(Find(t.eps, "/r1"), "err 2");
  EXPECT_EQ(ox_entrypoints_iter(t.eps, NeverVisit, nullptr), 0);
  EXPECT_EQ(ox_entrypoints_clear(t.eps), 0);
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/r1"), ENOENT);
  ox_entrypoints_free(nullptr);
}

TEST(OxEntrypoints, EntriesAreFoundByAnyPathBelowThem) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", &A), 0);
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r2/deep/er", &B), 0);
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/", &C), 0);
  const char *cases[][2] = {
      {"/r1", "/r1=A"},  {"/r1/foo", "/r1=A"}, {"/r1/", "/r1=A"},
      {"/r2", "/r2=B"},  {"/r2/x/y", "/r2=B"}, {"/", "/=C"},
      {"/r10", "err 2"}, {"/r", "err 2"},      {"r1/foo", "err 2"},
      {"/R1", "err 2"},  {"", "err 2"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(Find(t.eps, c[0]), c[1]);
  }
}

TEST(OxEntrypoints, IterationIsInByteOrderOfNames) {
  Table t;
  for (const char *path : {"/r2", "/b/x", "/R1", "/a", "/r1", "/a0"})
    ASSERT_EQ(ox_entrypoints_add(t.eps, path, nullptr), 0) << path;
  EXPECT_EQ(Dump(t.eps), "/R1=-,/a=-,/a0=-,/b=-,/r1=-,/r2=-");
  ox_entrypoint r1{const_cast<char *>("/r1"), nullptr};
  ox_entrypoint r2{const_cast<char *>("/r2"), &A};
  EXPECT_LT(ox__entrypoint_cmp(&r1, &r2), 0);
  EXPECT_EQ(ox__entrypoint_cmp(&r1, &r1), 0);
}

int StopWith5(void *cls, ox_entrypoint *) {
  ++*static_cast<int *>(cls);
  return 5;
}

TEST(OxEntrypoints, IterationStopsWithTheCallbacksValue) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/a", nullptr), 0);
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/b", nullptr), 0);
  int calls = 0;
  EXPECT_EQ(ox_entrypoints_iter(t.eps, StopWith5, &calls), 5);
  EXPECT_EQ(calls, 1);
}

TEST(OxEntrypoints, DuplicateAddIsRefusedAndKeepsTheFirstUserData) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", &A), 0);
  EXPECT_EQ(ox_entrypoints_add(t.eps, "/r1/other", &B), EALREADY);
  EXPECT_EQ(ox_entrypoints_add(t.eps, "/r1", nullptr), EALREADY);
  EXPECT_EQ(Dump(t.eps), "/r1=A");
}

TEST(OxEntrypoints, UserDataChangesInTheTablesOwnRecord) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", nullptr), 0);
  ox_entrypoint *e = nullptr;
  ASSERT_EQ(ox_entrypoints_find(t.eps, &e, "/r1/x"), 0);
  errno = 4242;
  EXPECT_EQ(ox_entrypoint_user_data(e), nullptr);
  EXPECT_EQ(errno, 4242);
  ASSERT_EQ(ox_entrypoint_set_user_data(e, &B), 0);
  EXPECT_EQ(Find(t.eps, "/r1"), "/r1=B");
}

TEST(OxEntrypoints, RemoveTheMiddleOfThree) {
  Table t;
  for (const char *path : {"/a", "/b", "/c"})
    ASSERT_EQ(ox_entrypoints_add(t.eps, path, &A), 0);
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/b/foo"), 0);
  EXPECT_EQ(Dump(t.eps), "/a=A,/c=A");
  EXPECT_EQ(
      Find(t.eps, "/a/x") + " " + Find(t.eps, "/c") + " " + Find(t.eps, "/b"),
      "/a=A /c=A err 2");
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/b"), ENOENT);
  EXPECT_EQ(Dump(t.eps), "/a=A,/c=A");
}

TEST(OxEntrypoints, RemovingTheOnlyEntryLeavesAUsableEmptyTable) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", &A), 0);
  ASSERT_EQ(ox_entrypoints_rm(t.eps, "/r1"), 0);
  EXPECT_EQ(Find(t.eps, "/r1"), "err 2");
  EXPECT_EQ(ox_entrypoints_iter(t.eps, NeverVisit, nullptr), 0);
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", &B), 0);
  EXPECT_EQ(Dump(t.eps), "/r1=B");
  ASSERT_EQ(ox_entrypoints_clear(t.eps), 0);
  EXPECT_EQ(Dump(t.eps), "");
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r2", &C), 0);
  EXPECT_EQ(Dump(t.eps), "/r2=C");
}

// Removes every entry it visits: the walk must stay inside the array.
int RemoveVisited(void *cls, ox_entrypoint *e) {
  std::string name = ox_entrypoint_name(e);
  EXPECT_EQ(ox_entrypoints_rm(static_cast<ox_entrypoints *>(cls), name.c_str()),
            0);
  return 0;
}

TEST(OxEntrypoints, CallbackThatRemovesEntriesDoesNotLeaveTheArray) {
  Table t;
  for (const char *path : {"/a", "/b", "/c", "/d"})
    ASSERT_EQ(ox_entrypoints_add(t.eps, path, nullptr), 0);
  EXPECT_EQ(ox_entrypoints_iter(t.eps, RemoveVisited, t.eps), 0);
  EXPECT_EQ(Dump(t.eps), "/b=-,/d=-");  // each removal moved one forward
}

TEST(OxEntrypoints, RefusesNullsAndSetsErrnoOnlyInGetters) {
  Table t;
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/r1", &A), 0);
  ox_entrypoint *kept = reinterpret_cast<ox_entrypoint *>(&t);
  ox_entrypoint *out = kept;
  errno = 4242;
  EXPECT_EQ(ox_entrypoints_add(nullptr, "/x", nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_add(t.eps, nullptr, nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_rm(nullptr, "/r1"), EINVAL);
  EXPECT_EQ(ox_entrypoints_rm(t.eps, nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_iter(nullptr, NeverVisit, nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_iter(t.eps, nullptr, nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_clear(nullptr), EINVAL);
  EXPECT_EQ(ox_entrypoints_find(nullptr, &out, "/r1"), EINVAL);
  EXPECT_EQ(ox_entrypoints_find(t.eps, nullptr, "/r1"), EINVAL);
  EXPECT_EQ(ox_entrypoints_find(t.eps, &out, nullptr), EINVAL);
  EXPECT_EQ(out, kept);  // not written
  EXPECT_EQ(ox_entrypoint_set_user_data(nullptr, &A), EINVAL);
  EXPECT_EQ(ox_entrypoints_add(t.eps, "/r1", &B), EALREADY);
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/zz"), ENOENT);
  EXPECT_EQ(errno, 4242);
  EXPECT_EQ(Dump(t.eps), "/r1=A");

  EXPECT_EQ(ox_entrypoint_name(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ox_entrypoint_user_data(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(OxEntrypoints, FailedAllocationLeavesTheTableAsItWas) {
  for (bool add : {true, false}) {
    SCOPED_TRACE(add ? "add" : "find");
    unsigned long count = oxtest::alloc_torture([&](unsigned long fail_at) {
      Table t;
      EXPECT_EQ(ox_entrypoints_add(t.eps, "/b", &B), 0);
      EXPECT_EQ(ox_entrypoints_add(t.eps, "/c", &C), 0);
      ox_entrypoint *out = reinterpret_cast<ox_entrypoint *>(&t);
      oxtest::alloc_arm(fail_at);
      int rc = add ? ox_entrypoints_add(t.eps, "/a/x", &A)
                   : ox_entrypoints_find(t.eps, &out, "/c/x");
      unsigned long calls = oxtest::alloc_disarm();
      if (fail_at == 0) {
        EXPECT_EQ(rc, 0);
      } else {
        EXPECT_EQ(rc, ENOMEM);
        EXPECT_EQ(Dump(t.eps), "/b=B,/c=C");
        EXPECT_EQ(out, reinterpret_cast<ox_entrypoint *>(&t));  // not written
      }
      return calls;
    });
    EXPECT_EQ(count, add ? 2u : 1u);  // the name (and the grown array)
  }
}

TEST(OxEntrypoints, RemoveKeepsTableWhenShrinkFails) {
  Table t;
  for (const char *path : {"/a", "/b", "/c"})
    ASSERT_EQ(ox_entrypoints_add(t.eps, path, &A), 0);
  oxtest::alloc_arm(1);  // the name made from the path
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/b"), ENOMEM);
  EXPECT_EQ(Dump(t.eps), "/a=A,/b=A,/c=A");
  oxtest::alloc_arm(2);  // the name succeeds, the shrink fails
  EXPECT_EQ(ox_entrypoints_rm(t.eps, "/b"), 0);
  EXPECT_EQ(oxtest::alloc_disarm(), 2u);
  EXPECT_EQ(t.eps->count, 2u);
  EXPECT_EQ(Dump(t.eps), "/a=A,/c=A");
  EXPECT_EQ(Find(t.eps, "/a") + " " + Find(t.eps, "/c/x"), "/a=A /c=A");
  // The larger block still serves further changes.
  ASSERT_EQ(ox_entrypoints_add(t.eps, "/d", &B), 0);
  ASSERT_EQ(ox_entrypoints_rm(t.eps, "/a"), 0);
  EXPECT_EQ(Dump(t.eps), "/c=A,/d=B");
}

}  // namespace
