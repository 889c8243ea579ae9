# target_sources(zvui_gtk PRIVATE ${CMAKE_CURRENT_LIST_DIR}/...)
