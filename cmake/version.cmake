# The version as the programs, the log's header, the Windows version details
# and the release's file names give it, from FLASHFILE_VERSION ("1.4f").
# The numeric form for Windows carries the letter of the revision as its
# place in the alphabet (f = 6), so that tools that compare numeric versions
# order 1.4f after 1.4e.
if(NOT FLASHFILE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)([a-z]?)$")
    message(FATAL_ERROR "FLASHFILE_VERSION ${FLASHFILE_VERSION}: want MAJOR.MINOR and an optional letter")
endif()
set(letter_place 0)
if(CMAKE_MATCH_3)
    string(FIND "abcdefghijklmnopqrstuvwxyz" "${CMAKE_MATCH_3}" letter_place)
    math(EXPR letter_place "${letter_place} + 1")
endif()
set(FLASHFILE_VERSION_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${letter_place},0")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
