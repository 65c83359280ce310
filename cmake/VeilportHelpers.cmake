# veilport_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# Tests run headless (Qt offscreen) with the web engine's sandbox off, as CI runs as root.
# Every test carries its area (the folder below tests/), so `ctest -L proxy` runs one area, and one kind:
# `unit` (the default), `process` (starts the real program or service as a child) or `browser` (drives
# real Chromium or Firefox). Further labels (`package`) are kept beside them. A folder whose name would
# match a kind's filter (ctest -L takes regular expressions) names its area in VEILPORT_TEST_AREA.
function(veilport_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    get_filename_component(area ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    if(DEFINED VEILPORT_TEST_AREA)
        set(area ${VEILPORT_TEST_AREA})
    endif()
    set(labels ${area} ${ARG_LABELS})
    list(REMOVE_DUPLICATES labels)
    if(NOT "process" IN_LIST labels AND NOT "browser" IN_LIST labels)
        list(APPEND labels unit)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests-bin)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} veilport_testsupport GTest::gtest)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 120
        PROPERTIES
            TIMEOUT 300)
    # gtest_discover_tests passes list-valued properties on split, so the labels are set by a file that CTest
    # reads after the discovered tests (the test environment is set by tests/support/TestMain.cpp likewise).
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_file} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()

# Copies data/ beside the executable on every build, so edits to shipped files are picked up.
function(veilport_stage_data target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/data ${VEILPORT_BIN_DIR}
        COMMENT "Staging data beside the executable")
endfunction()
