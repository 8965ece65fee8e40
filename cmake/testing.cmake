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
