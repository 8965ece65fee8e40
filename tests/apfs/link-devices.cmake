# Makes the fixture images reachable as devices: under Wine as links in the prefix's dosdevices
# folder (\\.\HarddiskVolumeN opens dosdevices/harddiskvolumeN), natively as links in DEVICES,
# the folder the native device layer reads from. Also puts one small container into a GPT disk
# image for the disk-path tests.
if(WINDOWS)
    if(NOT DEFINED ENV{WINEPREFIX})
        message(FATAL_ERROR "WINEPREFIX is not set; run the Windows tests through scripts/with-wine")
    endif()
    set(dir $ENV{WINEPREFIX}/dosdevices)
else()
    set(dir ${DEVICES})
endif()
file(MAKE_DIRECTORY ${dir})

set(gpt ${FIXTURES}/gpt_dfvfs_apfs.img)
if(NOT EXISTS ${gpt} OR ${FIXTURES}/dfvfs_apfs.raw IS_NEWER_THAN ${gpt})
    execute_process(COMMAND ${MAKE_GPT} ${FIXTURES}/dfvfs_apfs.raw ${gpt}.part 40
        RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "could not make ${gpt}")
    endif()
    file(RENAME ${gpt}.part ${gpt})
endif()

foreach(pair ${LINKS})
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 image)
    file(REMOVE ${dir}/${name})
    file(CREATE_LINK ${FIXTURES}/${image} ${dir}/${name} SYMBOLIC)
endforeach()
