# Spawning, reading and signalling the backend process (POSIX).
target_sources(zvui_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/BlockGate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OutputReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PosixBackendLauncher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PosixBackendProcess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SignalTools.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Spawn.cpp
)
