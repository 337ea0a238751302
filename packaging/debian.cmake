# The .deb, laid out and described as Debian wants it. Its maintainer is
# whoever publishes it, taken from the variables that Debian's own packaging
# tools read; the project has no address of its own to put there.
if("$ENV{DEBFULLNAME}" STREQUAL "" OR "$ENV{DEBEMAIL}" STREQUAL "")
    message(FATAL_ERROR "A .deb names its maintainer: set DEBFULLNAME and DEBEMAIL to the name and e-mail "
                        "address of whoever publishes it, as for Debian's own packaging tools.")
endif()
set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
# The dependencies come from the symbols files of the libraries the program
# links (dpkg-shlibdeps), which it looks for where a system of the package's
# architecture has them, not in a cross compiler's sysroot: a cross build
# needs the target's own Debian libraries installed too (multiarch).
set(multiarch_dir /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
if(CMAKE_CROSSCOMPILING AND NOT (EXISTS ${multiarch_dir}/libc.so.6 AND EXISTS ${multiarch_dir}/libstdc++.so.6))
    message(FATAL_ERROR "The .deb's dependencies are read from Debian's ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} "
                        "libraries, which are not installed: dpkg --add-architecture "
                        "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} && apt-get update && apt-get install "
                        "libc6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} libstdc++6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
endif()
set(debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)

# changelog: this version's section of CHANGELOG.md in the Debian changelog
# form: sections as starred lines, items below them, the text indented.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md text)
string(FIND "${text}" "\n## [${PROJECT_VERSION}]" start)
if(start EQUAL -1)
    message(FATAL_ERROR "CHANGELOG.md has no section for version ${PROJECT_VERSION}")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "\n" start)  # behind the version's heading
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "\n## " end)  # the next version's heading, if any
string(SUBSTRING "${text}" 0 ${end} text)
string(STRIP "${text}" text)
# Each rule matches at the start of a line, behind its newline.
string(REGEX REPLACE "\n  " "\n      " text "\n${text}")
string(REGEX REPLACE "\n- " "\n    - " text "${text}")
string(REGEX REPLACE "\n### ([^\n]*)" "\n  * \\1:" text "${text}")
string(REGEX REPLACE "\n([^ \n])" "\n  \\1" text "${text}")
string(REGEX REPLACE "\n\n+" "\n\n" text "${text}")
string(SUBSTRING "${text}" 1 -1 text)
# The date honours SOURCE_DATE_EPOCH, so that a release build gives it again.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${debian_dir}/changelog "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n${text}\n\n"
                                   " -- ${maintainer}  ${date}\n")

# copyright, machine-readable, from LICENSE: its copyright line, then the
# licence text indented, with " ." for each blank line.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no copyright line followed by the licence text")
endif()
set(holders "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" license "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " license " ${license}")
file(WRITE ${debian_dir}/copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
                                   "Upstream-Name: ${PROJECT_NAME}\n\nFiles: *\nCopyright: ${holders}\n"
                                   "License: Expat\n${license}\n")

# The man page and the changelog go in compressed, with no name or time in
# the gzip header.
configure_file(${CMAKE_CURRENT_BINARY_DIR}/duosplit.1 ${debian_dir}/duosplit.1 COPYONLY)
execute_process(COMMAND gzip -9nf duosplit.1 changelog WORKING_DIRECTORY ${debian_dir} COMMAND_ERROR_IS_FATAL ANY)

install(TARGETS duosplit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${debian_dir}/duosplit.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz README.md CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Under the summary line that CPack puts first, wrapped under 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "duosplit converts headerless stereo ADP streams (4-bit ADPCM, 32-byte frames)
into pairs of mono DSP ADPCM files, one per channel, copying the 4-bit codes
without decoding a sample. It refuses whatever would lose or corrupt data,
such as an output that is its own input, and stops at the first failure
with a one-line report.")
