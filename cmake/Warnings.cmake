# Compiler warnings and sanitizers, carried by an interface target that every Dorvex target links.
add_library(dorvex_warnings INTERFACE)
add_library(dorvex::warnings ALIAS dorvex_warnings)
target_compile_options(dorvex_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wimplicit-fallthrough -Wformat=2
  # GCC 12 reports std::optional and std::variant members of small enum wrappers as "maybe
  # uninitialized" and null after inlining, at -O2 only; both are false positives there, and the
  # sanitizer builds check the real thing.
  $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>
  # GCC 12 at -O3 reports "const char*" + std::string as an overlapping memcpy of 2^63 bytes
  # (a known false positive inside libstdc++'s string insert).
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
if(DORVEX_WERROR)
  target_compile_options(dorvex_warnings INTERFACE -Werror)
endif()

if(DORVEX_SANITIZE)
  add_compile_options(-fsanitize=${DORVEX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${DORVEX_SANITIZE})
endif()
