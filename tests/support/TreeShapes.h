#pragma once
// The backend trees that used to outlive the app, as tree_backend builds them (each of its
// processes records its pid).
#include <cstddef>

namespace zvui::test {

struct TreeShape {
  const char* name;
  const char* shape;     // HELPER_TREE for tree_backend
  bool wrapped;          // run by a #!/bin/sh script as its child, not by exec
  std::size_t processes;
};
inline constexpr TreeShape kTreeShapes[] = {
    {"ChildIgnoresTerm", "child-ignores-term", false, 2},
    {"GrandchildIgnoresTerm", "grandchild-ignores-term", false, 3},
    {"ShellWrapperWithServerChild", "server", true, 2},
    {"BackendIgnoresTerm", "ignores-term", false, 1},
};

}  // namespace zvui::test
