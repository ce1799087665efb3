# Warnings for every target of the project, applied through turnpike_warnings.
add_library(turnpike_warnings INTERFACE)
target_compile_options(turnpike_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wswitch-enum
  -Wimplicit-fallthrough -Wformat=2 -Wundef)
if(TURNPIKE_WARNINGS_AS_ERRORS)
  target_compile_options(turnpike_warnings INTERFACE -Werror)
endif()
