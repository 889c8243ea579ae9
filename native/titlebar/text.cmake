# target_sources(zvui_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/...)
