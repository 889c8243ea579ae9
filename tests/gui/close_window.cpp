// Asks the top-level windows of one app instance to close, as a window manager's close
// button does: a WM_DELETE_WINDOW message. The instance is named by the startup id it was
// launched with (DESKTOP_STARTUP_ID), which GTK puts on its client leader window.
// Usage: zvui_close_window STARTUP_ID. Exit 0 when at least one window was asked, 1 when
// the instance has no mapped window (yet), 2 without a display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <optional>
#include <string>

namespace {

std::optional<std::string> stringProperty(Display* display, Window window, Atom property) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 1024, False, AnyPropertyType, &type,
                         &format, &count, &after, &data) != Success || data == nullptr) {
    return std::nullopt;
  }
  std::optional<std::string> text;
  if (format == 8) text.emplace(reinterpret_cast<char*>(data), count);
  XFree(data);
  return text;
}

std::optional<Window> clientLeader(Display* display, Window window, Atom leaderAtom) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, leaderAtom, 0, 1, False, XA_WINDOW, &type, &format,
                         &count, &after, &data) != Success || data == nullptr) {
    return std::nullopt;
  }
  std::optional<Window> leader;
  if (count == 1 && format == 32) leader = *reinterpret_cast<Window*>(data);
  XFree(data);
  return leader;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string wanted = argv[1];
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  const Atom leaderAtom = XInternAtom(display, "WM_CLIENT_LEADER", False);
  const Atom startupAtom = XInternAtom(display, "_NET_STARTUP_ID", False);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);

  Window root, parent;
  Window* children = nullptr;
  unsigned int count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  int asked = 0;
  for (unsigned int i = 0; i < count; ++i) {
    const auto leader = clientLeader(display, children[i], leaderAtom);
    if (!leader || *leader == children[i]) continue;  // the leader itself is never shown
    if (stringProperty(display, *leader, startupAtom) != wanted) continue;
    XWindowAttributes attributes;
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
