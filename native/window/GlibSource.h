#pragma once

#include <glib.h>

#include "support/UniqueHandle.h"

namespace zvui {

// A GLib source id attached to the default main context. Release it (release()) from the
// source's own callback before returning G_SOURCE_REMOVE, so it is not removed twice.
struct GlibSourceTraits {
  using value_type = guint;
  static constexpr guint empty() noexcept { return 0; }
  static void release(guint id) noexcept { g_source_remove(id); }
};

using GlibSourceId = UniqueHandle<GlibSourceTraits>;

}  // namespace zvui
