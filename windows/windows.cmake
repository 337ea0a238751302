# Windows builds only: the application manifest, linked into the program and
# its tests, and the program's version resource, both compiled by the resource
# compiler (windres with MinGW-w64, rc with MSVC).
enable_language(RC)
set(DUOSPLIT_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/duosplit.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/manifest.rc.in manifest.rc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in version.rc @ONLY)

add_library(duosplit_manifest OBJECT ${CMAKE_CURRENT_BINARY_DIR}/manifest.rc)
# MSVC's linker would otherwise add a second manifest of its own.
target_link_options(duosplit_manifest INTERFACE $<$<CXX_COMPILER_ID:MSVC>:/MANIFEST:NO>)
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/manifest.rc APPEND PROPERTY OBJECT_DEPENDS ${DUOSPLIT_MANIFEST})

target_sources(duosplit PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/version.rc)
target_link_libraries(duosplit PRIVATE duosplit_manifest)

# For the tests only: the program once more, under a manifest without the UTF-8
# code page, as the systems before Windows 10 1903 run it (in the legacy code
# page). Names must reach it intact all the same.
if(BUILD_TESTING)
    file(READ ${DUOSPLIT_MANIFEST} manifest)
    string(REGEX REPLACE "<activeCodePage[^\n]*\n" "" manifest "${manifest}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/legacy.manifest "${manifest}")
    set(DUOSPLIT_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/legacy.manifest)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/manifest.rc.in legacy-manifest.rc @ONLY)
    add_executable(duosplit_legacy_code_page ${CMAKE_CURRENT_BINARY_DIR}/legacy-manifest.rc)
    target_link_libraries(duosplit_legacy_code_page PRIVATE duosplit_main)
endif()
