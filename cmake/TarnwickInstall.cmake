# What `cmake --install` puts in place: the executable, its man page, and the
# shared library for programs that embed tarnwick, with its header, a CMake
# package (find_package(tarnwick) gives tarnwick::tarnwick) and tarnwick.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The core's objects, whole: the library's one source is its header.
add_library(tarnwick_shared SHARED ${PROJECT_SOURCE_DIR}/include/tarnwick/tarnwick.h)
add_library(tarnwick::tarnwick ALIAS tarnwick_shared)
set_target_properties(tarnwick_shared PROPERTIES OUTPUT_NAME tarnwick EXPORT_NAME tarnwick LINKER_LANGUAGE CXX
                                                 VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_libraries(tarnwick_shared PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tarnwick_core>")
target_include_directories(tarnwick_shared INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                     $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(tarnwick_shared INTERFACE cxx_std_17)
add_dependencies(tarnwick_shared tarnwick_imaging)

set(TARNWICK_MAN_PAGE ${PROJECT_BINARY_DIR}/tarnwick.1.gz)
add_custom_command(OUTPUT ${TARNWICK_MAN_PAGE}
                   COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/tarnwick.1 ${TARNWICK_MAN_PAGE}
                   DEPENDS ${PROJECT_SOURCE_DIR}/docs/tarnwick.1 VERBATIM)
add_custom_target(tarnwick_man_page ALL DEPENDS ${TARNWICK_MAN_PAGE})

write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake COMPATIBILITY SameMajorVersion)

install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarnwick_shared EXPORT tarnwick LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tarnwick_imaging LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarnwick)
install(TARGETS tarnwick-reader ${TARNWICK_DECODERS} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarnwick)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarnwick DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarnwick NAMESPACE tarnwick:: FILE tarnwickConfig.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick)
install(FILES ${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick)
# tarnwick.pc names the prefix it is installed under, which is only known
# then: /usr/local by default for cmake --install, /usr for the Debian package.
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(TARNWICK_PC_LIBDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
  set(TARNWICK_PC_INCLUDEDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}\")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnwick.pc.in ${PROJECT_BINARY_DIR}/tarnwick.pc @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/tarnwick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${TARNWICK_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/tarnwick-output.schema.json DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The text detector's model, where the binaries look for it from bin/ and
# lib/, with its licence and provenance.
install(FILES ${PROJECT_SOURCE_DIR}/models/${TARNWICK_DETECTOR_MODEL} DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick)
install(FILES ${PROJECT_SOURCE_DIR}/models/LICENSE.ppocr ${PROJECT_SOURCE_DIR}/models/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/models)
