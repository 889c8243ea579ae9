# The strip belongs with the launch card in the widget library.
target_sources(zvui_widgets PRIVATE ${CMAKE_CURRENT_LIST_DIR}/TitlebarStrip.cpp)
