# vesk_add_test(NAME SOURCES... LIBS... [LABELS ...])
# One GoogleTest binary per module; CTest learns its cases by asking the binary.
# Labels pick the tier (root, netns, browser, tui, fuzz, vm) and "threaded" marks the
# suites that also run under ThreadSanitizer.
function(vesk_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
    gtest_discover_tests(${name}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60
        TEST_LIST ${name}_TESTS
        PROPERTIES ENVIRONMENT "VESK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    # Labels are set once the tests are known: a list passed through PROPERTIES would keep
    # only its first label.
    if(T_LABELS)
        set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
        file(WRITE ${file} "if(${name}_TESTS)\n"
            "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n"
            "endif()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
    endif()
endfunction()
