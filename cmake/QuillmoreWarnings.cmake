# quillmore_warnings(<target> [STRICT])
#
# Turns on the project's warnings for <target>, in the spelling of the
# compiler at hand: MSVC takes /W4, GCC and Clang -Wall -Wextra.  STRICT adds
# the checks the core is held to (pedantic, conversions, shadowing).
function(quillmore_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 _w "STRICT" "" "")
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<COMPILE_LANGUAGE:CXX>:/permissive->)
    # fopen, strcpy and the like are standard C, not mistakes.
    target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(_w_STRICT)
      target_compile_options(${target} PRIVATE -Wpedantic -Wconversion -Wshadow)
    endif()
  endif()
endfunction()
