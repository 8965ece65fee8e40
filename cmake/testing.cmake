# volarix_add_gtest(NAME SOURCES... [LIBS ...] [PROPS ...]) builds a GoogleTest executable and
# registers its tests. Under the cross build CTest runs them through Wine (the emulator of the
# toolchain file) in the prefix that scripts/with-wine has warmed.
function(volarix_add_gtest name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPS" ${ARGN})
    add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 300 ${T_PROPS})
endfunction()

# The APFS images are kept compressed in tests/data/apfs and unpacked (sparse) into the build
# tree by the test fixture "apfs_images"; tests that read them name it in FIXTURES_REQUIRED and
# find them under VOLARIX_FIXTURES_DIR.
set(VOLARIX_FIXTURES_SRC ${CMAKE_SOURCE_DIR}/tests/data/apfs)
set(VOLARIX_FIXTURES_DIR ${CMAKE_BINARY_DIR}/fixtures/apfs)
add_test(NAME unpack_apfs_images
    COMMAND ${CMAKE_COMMAND} -DSRC=${VOLARIX_FIXTURES_SRC} -DDST=${VOLARIX_FIXTURES_DIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/unpack-fixtures.cmake)
set_tests_properties(unpack_apfs_images PROPERTIES FIXTURES_SETUP apfs_images)

# volarix_add_fuzzer(NAME SOURCES... [LIBS ...] [SEEDS dir...]) builds a libFuzzer target in the
# native clang build and runs it as a test for VOLARIX_FUZZ_SECONDS, starting from the seeds.
set(VOLARIX_FUZZ_SECONDS 30 CACHE STRING "How long each fuzz target runs in the test suite")
function(volarix_add_fuzzer name)
    if(WIN32 OR NOT VOLARIX_FUZZ)
        return()
    endif()
    cmake_parse_arguments(F "" "" "SOURCES;LIBS;SEEDS;PROPS" ${ARGN})
    add_executable(${name} ${F_SOURCES} ${F_UNPARSED_ARGUMENTS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    file(MAKE_DIRECTORY ${corpus})
    add_test(NAME ${name}
        COMMAND ${name} -max_total_time=${VOLARIX_FUZZ_SECONDS} -rss_limit_mb=4096
                -print_final_stats=1 ${corpus} ${F_SEEDS})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 ${F_PROPS})
endfunction()
