# veilport_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# Tests run headless (Qt offscreen) with the web engine's sandbox off, as CI runs as root.
function(veilport_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    # Every test carries its area (the folder below tests/) as its label, so `ctest -L proxy` runs
    # one area. gtest_discover_tests cannot pass list-valued properties through, so the test
    # environment is set by the shared test entry point (tests/support/TestMain.cpp) instead.
    get_filename_component(area ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    if(ARG_LABELS)
        list(GET ARG_LABELS 0 area)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests-bin)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} veilport_testsupport GTest::gtest)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 120
        PROPERTIES
            LABELS ${area}
            TIMEOUT 300)
endfunction()

# Copies data/ beside the executable on every build, so edits to shipped files are picked up.
function(veilport_stage_data target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/data ${VEILPORT_BIN_DIR}
        COMMENT "Staging data beside the executable")
endfunction()
