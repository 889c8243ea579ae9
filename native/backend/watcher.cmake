# Output decoding and the announcement watcher.
target_sources(zvui_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Utf8Decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/GraphemeCounter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OutputWatcher.cpp
)
