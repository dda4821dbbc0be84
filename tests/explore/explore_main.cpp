// The exploration suite's own main: its options (--long, --seed=N,
// --rounds=N, --scale=F) come off the command line before GoogleTest's.
#include <gtest/gtest.h>

#include "explore.h"

int main(int argc, char** argv) {
  explore::parse_options(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
