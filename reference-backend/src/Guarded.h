#pragma once

#include <cstdio>
#include <exception>
#include <utility>

namespace tamrik {

// Runs the body of a GLib callback. An exception must never unwind into C code (that is
// std::terminate, taking every shell with it), so whatever escapes is reported on standard
// error and the event it came from is dropped. True when the body ran to its end.
template <typename Body>
bool guarded(const char* where, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "MacTamrikBackend: %s: %s\n", where, error.what());
  } catch (...) {
    std::fprintf(stderr, "MacTamrikBackend: %s: unknown exception\n", where);
  }
  return false;
}

}  // namespace tamrik
