# Applied to every target of ours through zvui_warnings.
add_library(zvui_warnings INTERFACE)
target_compile_options(zvui_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  -Wno-sign-conversion -Wnon-virtual-dtor -Woverloaded-virtual)
if(ZVUI_DEVELOPER)
  target_compile_options(zvui_warnings INTERFACE -Werror)
endif()

if(ZVUI_DEVELOPER AND ZVUI_TSAN)
  message(FATAL_ERROR "ZVUI_DEVELOPER (ASan+UBSan) and ZVUI_TSAN cannot be combined")
endif()
if(ZVUI_DEVELOPER)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZVUI_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
