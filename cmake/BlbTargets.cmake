# Warnings as errors apply to the project's own code only.
set(BLB_WARNINGS -Wall -Wextra -Werror -Wformat=2 -Wshadow=local -Wno-missing-field-initializers)

# blb_collect(<out-var> <dir>...): the sources of the given folders, without tests.
function(blb_collect out)
  set(sources)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cc)
    list(FILTER found EXCLUDE REGEX "_test\\.cc$")
    list(APPEND sources ${found})
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# blb_collect_tests(<out-var> <dir>...): the *_test.cc files of the given folders.
function(blb_collect_tests out)
  set(sources)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*_test.cc)
    list(APPEND sources ${found})
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# blb_test(<name> SOURCES ... LIBS ...): one GoogleTest binary registered with CTest.
function(blb_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT T_SOURCES)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE ${BLB_WARNINGS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} blb_test_support GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
