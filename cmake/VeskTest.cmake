# vesk_add_test(NAME SOURCES... LIBS... [LABELS ...])
# One GoogleTest binary per module; CTest learns its cases by asking the binary.
# Labels pick the tier (root, netns, browser, tui, fuzz, vm) and "threaded" marks the
# suites that also run under ThreadSanitizer. A case that hangs fails after five minutes instead
# of holding up the whole run.
function(vesk_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main Threads::Threads)
    gtest_discover_tests(${name}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60
        TEST_LIST ${name}_cases)

    set(env "VESK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    if(CMAKE_CROSSCOMPILING)
        # Under user-mode emulation a binary cannot re-execute itself, so death tests fork
        # instead; ctest runs every case in a process of its own, with no other thread yet.
        list(APPEND env "GTEST_DEATH_TEST_STYLE=fast")
        # Tests that start our programs start them through the same emulator.
        string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
        list(APPEND env "VESK_EMULATOR=${emulator}")
    endif()
    # The discovery step splits list values into words (a second label would become a property
    # name), so labels and environment go onto the discovered cases from a script of our own,
    # which ctest reads after the discovered list.
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${script}
         "if(${name}_cases)\n"
         "  set_tests_properties(\${${name}_cases} PROPERTIES\n"
         "    TIMEOUT 300 LABELS [==[${T_LABELS}]==] ENVIRONMENT [==[${env}]==])\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
