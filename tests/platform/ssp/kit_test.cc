// The kit's process-wide set-up counts its users and refuses an unbalanced
// exit.
#include <gtest/gtest.h>

#include "ext/w6ssp.h"

namespace {

TEST(Kit, InitAndExitCountUsers) {
  const int first = w6ssp_ssp_init();
  ASSERT_GE(first, 1);
  EXPECT_EQ(w6ssp_ssp_init(), first + 1);
  EXPECT_EQ(w6ssp_ssp_exit(), first);
  EXPECT_EQ(w6ssp_ssp_exit(), first - 1);
  for (int i = first - 1; i > 0; --i) w6ssp_ssp_exit();
  EXPECT_EQ(w6ssp_ssp_exit(), -1);
  EXPECT_EQ(w6ssp_ssp_init(), 1);
  EXPECT_EQ(w6ssp_ssp_exit(), 0);
}

}  // namespace
