# ferrolune_subsystem(<name> [DEPS libs...] [PRIVATE_DEPS libs...]
#                     [EXTRA_SOURCES files...] [EXTRA_INCLUDES dirs...] [TEST_DEPS libs...])
#
# One subsystem folder: the static library ferrolune-<name> from src/*.cpp,
# with include/ public and src/ private, and, when tests are built,
# ferrolune-<name>-tests from tests/*_test.cpp. Sources are picked up by
# pattern: one source pair per concept.
function(ferrolune_subsystem name)
  cmake_parse_arguments(arg "" "" "DEPS;PRIVATE_DEPS;EXTRA_SOURCES;EXTRA_INCLUDES;TEST_DEPS" ${ARGN})
  set(lib ferrolune-${name})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${lib} STATIC ${sources} ${arg_EXTRA_SOURCES})
  target_include_directories(${lib} PUBLIC include PRIVATE src ${arg_EXTRA_INCLUDES})
  target_link_libraries(${lib} PUBLIC ${arg_DEPS} PRIVATE ${arg_PRIVATE_DEPS})
  target_compile_options(${lib} PRIVATE -Wall -Wextra)

  if(FERROLUNE_BUILD_TESTS)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
    if(tests)
      add_executable(${lib}-tests ${tests})
      target_include_directories(${lib}-tests PRIVATE src ${arg_EXTRA_INCLUDES})
      target_link_libraries(${lib}-tests PRIVATE ${lib} ${arg_TEST_DEPS} GTest::gtest_main GTest::gmock)
      gtest_discover_tests(${lib}-tests DISCOVERY_TIMEOUT 60)
    endif()
  endif()
endfunction()
