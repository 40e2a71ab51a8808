# Project-wide settings are targets: our code links tolvan_warnings, third-party code never does.
add_library(tolvan_warnings INTERFACE)
target_compile_options(tolvan_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  $<$<BOOL:${TOLVAN_WERROR}>:-Werror>
  # GCC 12 at -O3 reports std::string concatenations as overlapping copies (-Wrestrict), a
  # known false positive of that compiler; it would fail Release builds under -Werror.
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)

if(TOLVAN_SANITIZE)
  add_compile_options(-fsanitize=${TOLVAN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TOLVAN_SANITIZE})
endif()

# tolvan_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
#   -> shared library libtolvan_<name>.so, target tolvan_<name>, alias tolvan::<name>.
#   DEPS are the dependencies that appear in the public header; the rest are PRIVATE_DEPS.
function(tolvan_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(tolvan_${name} SHARED ${ARG_SOURCES})
  add_library(tolvan::${name} ALIAS tolvan_${name})
  target_include_directories(tolvan_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tolvan_${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} tolvan_warnings)
  install(TARGETS tolvan_${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# tolvan_test(<name> SOURCES ... [DEPS ...]) -> one GoogleTest binary, each TEST its own CTest case.
# Every unit test carries the label "unit" so the sanitizer run can select them.
function(tolvan_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tolvan_warnings GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  set(labels unit ${ARG_LABELS})
  # Escaped so the list survives as one LABELS value through gtest_discover_tests.
  string(REPLACE ";" "\\;" labels "${labels}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}")
endfunction()
