# Installs the host libraries, the plug-in and their headers, with a CMake package `nimb` whose targets
# carry the `nimb::` namespace.
include(CMakePackageConfigHelpers)

install(TARGETS nimb-icd-tarvex EXPORT nimbTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${IDLGEN_OUT}/tarvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
install(TARGETS nimb-dds-tarvex LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/nimb/plugins)

install(EXPORT nimbTargets NAMESPACE nimb:: FILE nimbTargets.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nimbConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/nimbConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nimbConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nimbConfig.cmake ${PROJECT_BINARY_DIR}/nimbConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb)
