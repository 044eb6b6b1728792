# Installs the module with the reference host's libraries: headers under
# include/nvrbackup (technic/ and recordlib/ beside the module's own), the
# shared libraries, a CMake package (find_package(nvrbackup) gives
# nvrbackup::nvrbackup) and a pkg-config file (nvrbackup.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

function(nvr_install_module)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  set(inc ${CMAKE_INSTALL_INCLUDEDIR}/nvrbackup)

  install(FILES ${ARG_HEADERS} DESTINATION ${inc})
  file(GLOB technic_headers ${PROJECT_SOURCE_DIR}/technic/*.h)
  install(FILES ${technic_headers} DESTINATION ${inc}/technic)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/recordlib/ DESTINATION ${inc}/recordlib
    FILES_MATCHING PATTERN "*.h")

  install(TARGETS nvrbackup recordlib technic technic_headers
    EXPORT nvrbackupTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(EXPORT nvrbackupTargets
    NAMESPACE nvrbackup::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nvrbackup)

  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nvrbackupConfig.cmake.in
    ${PROJECT_BINARY_DIR}/nvrbackupConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nvrbackup)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/nvrbackupConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/nvrbackupConfig.cmake
    ${PROJECT_BINARY_DIR}/nvrbackupConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nvrbackup)

  configure_file(${PROJECT_SOURCE_DIR}/cmake/nvrbackup.pc.in
    ${PROJECT_BINARY_DIR}/nvrbackup.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/nvrbackup.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
