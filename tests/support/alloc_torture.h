// Allocation torture for tests of the hooked library build: run an
// operation once to count its allocations, then once more for each of them
// with that one failing.
#ifndef OX_TEST_ALLOC_TORTURE_H
#define OX_TEST_ALLOC_TORTURE_H

#include <gtest/gtest.h>

#include <string>

#include "ox_alloc.h"

namespace oxtest {

// Restarts the count; the |fail_at|-th allocation from now fails (0: none).
inline void alloc_arm(unsigned long fail_at) {
  ox__alloc_hooks_reset();
  ox__alloc_fail_at(fail_at);
}

// Returns the allocations made since alloc_arm() and disarms the failure.
inline unsigned long alloc_disarm() {
  unsigned long calls = ox__alloc_calls();
  ox__alloc_hooks_reset();
  return calls;
}

// |op(fail_at)| builds fresh objects, brackets the call under test with
// alloc_arm(fail_at) and alloc_disarm(), checks the outcome (success for
// fail_at 0, ENOMEM and an unchanged object otherwise), frees everything
// and returns what alloc_disarm() gave.  Returns the counted allocations.
template <typename Op>
unsigned long alloc_torture(Op op) {
  unsigned long count = op(0UL);
  for (unsigned long i = 1; i <= count; ++i) {
    SCOPED_TRACE("allocation " + std::to_string(i) + " of " +
                 std::to_string(count) + " fails");
    op(i);
  }
  return count;
}

}  // namespace oxtest

#endif  // OX_TEST_ALLOC_TORTURE_H
