# Debian's own OpenSSL and GoogleTest for the native build of the portable code.
find_package(OpenSSL 3.0 REQUIRED)
find_package(GTest REQUIRED)

option(VOLARIX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
if(VOLARIX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# libFuzzer targets need clang; scripts/test configures a clang build with this on.
option(VOLARIX_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
