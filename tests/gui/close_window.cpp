// Asks the top-level windows of one process to close, as a window manager's close button
// does: a WM_DELETE_WINDOW message. Usage: zvui_close_window PID. Exit 0 when at least one
// window was asked, 1 when the process has no window (yet), 2 without a display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <vector>

namespace {

bool windowPid(Display* display, Window window, Atom pidAtom, unsigned long& pid) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                         &count, &after, &data) != Success || data == nullptr) {
    return false;
  }
  const bool ok = count == 1 && format == 32;
  if (ok) pid = *reinterpret_cast<unsigned long*>(data);
  XFree(data);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const unsigned long wanted = std::strtoul(argv[1], nullptr, 10);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

  Window root, parent;
  Window* children = nullptr;
  unsigned int count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  int asked = 0;
  for (unsigned int i = 0; i < count; ++i) {
    unsigned long pid = 0;
    XWindowAttributes attributes;
    if (!windowPid(display, children[i], pidAtom, pid) || pid != wanted) continue;
    if (!XGetWindowAttributes(display, children[i], &attributes) ||
        attributes.map_state != IsViewable) {
      continue;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = children[i];
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, children[i], False, NoEventMask, &event);
    ++asked;
  }
  if (children != nullptr) XFree(children);
  XCloseDisplay(display);
  return asked > 0 ? 0 : 1;
}
