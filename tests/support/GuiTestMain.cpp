// Entry of the GUI test programs: the environment every GUI test needs, then GoogleTest.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("GDK_BACKEND", "x11", 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
