# quillmore_warnings(<target> [STRICT])
#
# Turns on the project's warnings for <target>, in the spelling of the
# compiler at hand: MSVC takes /W4, GCC and Clang -Wall -Wextra.  STRICT adds
# the checks the core is held to (pedantic, conversions, shadowing).
function(quillmore_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 _w "STRICT" "" "")
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(_w_STRICT)
      target_compile_options(${target} PRIVATE -Wpedantic -Wconversion -Wshadow)
    endif()
  endif()
endfunction()
