# Warnings for our own targets only; third-party headers come in as system headers.
add_library(serverhub_warnings INTERFACE)
target_compile_options(serverhub_warnings INTERFACE -Wall -Wextra)
if(DEFINED ENV{CI} OR SERVERHUB_WERROR)
  target_compile_options(serverhub_warnings INTERFACE -Werror)
endif()
