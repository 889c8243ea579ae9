#include "window/GtkAppHost.h"
#include "window/GtkConsoleWebView.h"
#include "window/ResourceDirectory.h"

int main() {
  zvui::ConsoleWebView::quietMemoryMonitor();
  zvui::AppHost host({.resourceDirectory = zvui::resourceDirectory()});
  return host.run();
}
