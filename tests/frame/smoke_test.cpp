#include <gtest/gtest.h>
#include "vuvidur.h"
TEST(Smoke, Builds) { EXPECT_EQ(vesk_stub_zero(), 0); }
