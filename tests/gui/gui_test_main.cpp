// Entry of the GUI test programs: the environment every GUI test needs, then GoogleTest.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("GDK_BACKEND", "x11", 0);
  // Accessibility needs a session bus; without one its bridge can crash on window teardown.
  ::setenv("GTK_A11Y", "none", 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
