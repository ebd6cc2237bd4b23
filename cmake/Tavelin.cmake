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
# -Wnull-dereference is clang's only: GCC's works only when optimising, and there it reports a
# QPointer read again right after its check (`if (!self) return; self->...`), and asio's own
# scheduler, as null dereferences.
function(tavelin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Wimplicit-fallthrough
                                           $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
                                           $<$<CXX_COMPILER_ID:Clang>:-Wshadow -Wnull-dereference>)
  if(TAVELIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Offers the headers of the folder being configured (and its subfolders with RECURSE) to
# `target` and to whoever links it, and to no one else: each header is linked into a tree of the
# target's own under the build folder, which is the only way to reach it. An include of a folder
# the target does not link fails to build.
function(tavelin_headers target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "RECURSE" "" "")
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  if(arg_RECURSE)
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} *.hpp)
  else()
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} *.hpp)
  endif()
  file(REMOVE_RECURSE ${root})
  foreach(header IN LISTS headers)
    get_filename_component(directory ${root}/${folder}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${directory})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${root}/${folder}/${header} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
