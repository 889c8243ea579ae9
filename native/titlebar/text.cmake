# Host and shell text rules (core).
target_sources(zvui_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/TitlebarText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HostName.cpp
)
