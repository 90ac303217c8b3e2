# Sanitizer builds for the library, its companions, tests and tools alike.
if(ZAXXLIB_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZAXXLIB_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZAXXLIB_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZAXXLIB_SANITIZE must be empty, 'address' or 'thread'")
endif()
