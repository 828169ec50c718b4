# vesk_add_test(NAME SOURCES... LIBS... [LABELS ...])
# One GoogleTest binary per module; CTest learns its cases by asking the binary.
# Labels pick the tier (root, netns, browser, tui, fuzz, vm) and "threaded" marks the
# suites that also run under ThreadSanitizer. A case that hangs fails after five minutes instead
# of holding up the whole run.
function(vesk_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
    set(props "")
    if(T_LABELS)
        set(props LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${name}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${props} TIMEOUT 300 ENVIRONMENT "VESK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
