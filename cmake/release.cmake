# The release build (scripts/release): reproducible programs, and on Linux the
# Debian package with the manual pages. Two builds of one commit must give
# the same bytes, so no path of this machine goes into a program, nothing is
# stamped with the time of the build, and the dates come from
# SOURCE_DATE_EPOCH (the last commit's time), which string(TIMESTAMP) reads.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-s)
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
    return()
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)

string(TIMESTAMP RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP RELEASE_YEAR "%Y" UTC)
string(TIMESTAMP RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(REL ${CMAKE_SOURCE_DIR}/release)
set(OUT ${CMAKE_BINARY_DIR}/release)
set(DOC share/doc/flashfile)

# Manual pages and the changelog, compressed without a name or a time in
# the gzip header.
set(COMPRESSED)
foreach(page flashfile.1 modemsim.1 changelog)
    configure_file(${REL}/${page}.in ${OUT}/${page} @ONLY)
    add_custom_command(OUTPUT ${OUT}/${page}.gz
        COMMAND gzip -9nf -k ${OUT}/${page} DEPENDS ${OUT}/${page} VERBATIM)
    list(APPEND COMPRESSED ${OUT}/${page}.gz)
endforeach()
add_custom_target(manpages DEPENDS ${COMPRESSED})

# The targets are made in their own folders after this file is read.
install(PROGRAMS $<TARGET_FILE:flashfile> $<TARGET_FILE:modemsim> DESTINATION bin)
install(FILES ${OUT}/flashfile.1.gz ${OUT}/modemsim.1.gz DESTINATION share/man/man1)
configure_file(${REL}/copyright.in ${OUT}/copyright @ONLY)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${OUT}/copyright DESTINATION ${DOC})
install(FILES ${OUT}/changelog.gz DESTINATION ${DOC} RENAME changelog.Debian.gz)
install(FILES ${REL}/flashfile.ini DESTINATION ${DOC}/examples)
install(FILES ${REL}/lintian-overrides DESTINATION share/lintian/overrides RENAME flashfile)
# scripts/release builds what the package holds; the tests stay out of it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashfile)
set(CPACK_PACKAGE_VERSION ${FLASHFILE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_CONTACT "Quillmarch Workshop <workshop@quillmarch.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write new firmware into the flash of a Quillmarch modem")
set(CPACK_PACKAGE_DESCRIPTION [=[
flashfile finds a Quillmarch dial-up modem on the serial ports, checks that
the load file (S-records) fits the modem's resident flash loader, uploads
the flash-loader image when needed, programs the load record by record and
says by its exit status whether the job succeeded.

modemsim plays such a modem on a pseudo-terminal, with faults on demand,
to try the program without a modem.

To open a serial port the user must be in the group dialout.]=])
include(CPack)
