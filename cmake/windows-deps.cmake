# OpenSSL, GNU libidn and GoogleTest built for MinGW-w64 by scripts/setup.
if(DEFINED ENV{VOLARIX_CACHE})
    set(_volarix_cache "$ENV{VOLARIX_CACHE}")
else()
    set(_volarix_cache "$ENV{HOME}/.cache/volarix")
endif()
set(VOLARIX_DEPS "${_volarix_cache}/deps/current" CACHE PATH "Windows dependencies built by scripts/setup")
if(NOT EXISTS ${VOLARIX_DEPS}/lib/libssl.a)
    message(FATAL_ERROR "No Windows dependencies in ${VOLARIX_DEPS}: run scripts/setup first")
endif()

add_library(volarix_crypto STATIC IMPORTED GLOBAL)
set_target_properties(volarix_crypto PROPERTIES
    IMPORTED_LOCATION ${VOLARIX_DEPS}/lib/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${VOLARIX_DEPS}/include
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;user32;advapi32")
add_library(OpenSSL::Crypto ALIAS volarix_crypto)

add_library(volarix_ssl STATIC IMPORTED GLOBAL)
set_target_properties(volarix_ssl PROPERTIES
    IMPORTED_LOCATION ${VOLARIX_DEPS}/lib/libssl.a
    INTERFACE_INCLUDE_DIRECTORIES ${VOLARIX_DEPS}/include
    INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)
add_library(OpenSSL::SSL ALIAS volarix_ssl)

add_library(volarix_idn STATIC IMPORTED GLOBAL)
set_target_properties(volarix_idn PROPERTIES
    IMPORTED_LOCATION ${VOLARIX_DEPS}/lib/libidn.a
    INTERFACE_INCLUDE_DIRECTORIES ${VOLARIX_DEPS}/include)
add_library(Idn::Idn ALIAS volarix_idn)

set(GTest_DIR ${VOLARIX_DEPS}/lib/cmake/GTest)
find_package(GTest CONFIG REQUIRED)
