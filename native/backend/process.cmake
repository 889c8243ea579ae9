# Spawning, reading and signalling the backend process (POSIX).
target_sources(zvui_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/BackendGuard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlockGate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OutputReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PosixBackendLauncher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PosixBackendProcess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SignalTools.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Spawn.cpp
)

# The backend's process group, shared by the core and the guard program (native/guard).
add_library(zvui_process_group OBJECT ${CMAKE_CURRENT_LIST_DIR}/ProcessGroup.cpp)
target_include_directories(zvui_process_group PUBLIC ${PROJECT_SOURCE_DIR}/native)
target_link_libraries(zvui_process_group PRIVATE zvui_warnings)
target_sources(zvui_core PRIVATE $<TARGET_OBJECTS:zvui_process_group>)
