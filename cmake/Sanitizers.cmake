# One switch each; they cannot be combined.
if(SERVERHUB_ASAN AND SERVERHUB_TSAN)
  message(FATAL_ERROR "SERVERHUB_ASAN and SERVERHUB_TSAN are mutually exclusive")
endif()

if(SERVERHUB_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # GCC 12's flow analysis misreads instrumented standard headers (std::regex, std::function).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(SERVERHUB_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
