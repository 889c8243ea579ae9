// Test entry for widget tests: GTK is initialised once per process, after GoogleTest has
// read its flags, and not at all when the binary is only asked to list its tests (the build
// lists them without a display).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <gtkmm/init.h>

#include <cstdio>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    if (!gtk_init_check()) {
      std::fprintf(stderr, "widget tests need a display (run them under xvfb-run)\n");
      return 1;
    }
    // The C++ wrappers need their types registered; Gtk::Application does this in the app.
    Gtk::init_gtkmm_internals();
  }
  return RUN_ALL_TESTS();
}
