#include "window/AppHost.h"
#include "window/ConsoleWebView.h"
#include "window/ResourceDirectory.h"

int main() {
  zvui::ConsoleWebView::quietMemoryMonitor();
  zvui::AppHost host({.resourceDirectory = zvui::resourceDirectory()});
  return host.run();
}
