# kel_add_gtest(<name> SOURCES <files...> LIBS <libs...> [LABELS <labels>]
#               [RESOURCE_LOCK <locks>] [TIMEOUT <s>])
# One GoogleTest executable per module or feature, registered as one ctest
# test; on armhf ctest runs it through the crosscompiling emulator.
function(kel_add_gtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} kel_gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    target_compile_definitions(${name} PRIVATE
        KEL_TEST_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
        KEL_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_test(NAME ${name} COMMAND ${name})
    if(T_TIMEOUT)
        set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
    if(T_RESOURCE_LOCK)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(CMAKE_CROSSCOMPILING)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf")
    endif()
endfunction()
