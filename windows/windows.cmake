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
