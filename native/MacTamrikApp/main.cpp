#include "window/GtkAppHost.h"
#include "window/ResourceDirectory.h"

int main() {
  zvui::AppHost host({.resourceDirectory = zvui::resourceDirectory()});
  return host.run();
}
