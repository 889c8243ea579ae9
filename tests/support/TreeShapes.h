#pragma once
// The backend trees that used to outlive the app, as tree_backend builds them.
#include <filesystem>
#include <fstream>

namespace zvui::test {

// HELPER_TREE for tree_backend; wrapped: run as the child of a #!/bin/sh script, not by exec.
struct TreeShape {
  const char *name, *shape;
  bool wrapped;
  std::size_t processes;
};
inline constexpr TreeShape kTreeShapes[] = {
    {"ChildIgnoresTerm", "child-ignores-term", false, 2},
    {"GrandchildIgnoresTerm", "grandchild-ignores-term", false, 3},
    {"ShellWrapperWithServerChild", "server", true, 2},
    {"BackendIgnoresTerm", "ignores-term", false, 1},
};

// Puts tree_backend at `path`, or a script that records its own pid too and runs it.
inline void placeTree(bool wrapped, const std::filesystem::path& treeBackend,
                      const std::filesystem::path& path) {
  if (!wrapped) return (void)std::filesystem::copy_file(treeBackend, path);
  std::ofstream(path) << "#!/bin/sh\necho $$ >> \"$HELPER_PIDS\"\n'" << treeBackend.string()
                      << "'\nexit $?\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace zvui::test
