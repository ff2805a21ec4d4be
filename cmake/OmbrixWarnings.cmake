# Warning flags for our own targets only; GoogleTest and the system headers
# are left to their own habits.
add_library(ombrix_warnings INTERFACE)
target_compile_options(ombrix_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wpointer-arith -Wcast-align -Wwrite-strings
  -Wformat=2 -Wundef -Wvla
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast>)
# They become errors where a preset sets CMAKE_COMPILE_WARNING_AS_ERROR.
