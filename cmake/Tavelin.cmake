# Build settings shared by every Tavelin target.

if(CMAKE_CXX_COMPILER_LAUNCHER STREQUAL "")
  unset(CMAKE_CXX_COMPILER_LAUNCHER)
endif()
find_program(TAVELIN_CCACHE ccache)
if(TAVELIN_CCACHE AND NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TAVELIN_CCACHE})
endif()

if(TAVELIN_SANITIZERS)
  list(JOIN TAVELIN_SANITIZERS "," _tavelin_sanitizers)
  add_compile_options(-fsanitize=${_tavelin_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tavelin_sanitizers})
endif()

# Warnings for one of our own targets; third-party headers come in as system headers.
function(tavelin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Wnull-dereference
                                           -Wimplicit-fallthrough
                                           $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
                                           $<$<CXX_COMPILER_ID:Clang>:-Wshadow>)
  if(TAVELIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
