# Installs the host libraries, the plug-in and their headers, with a CMake package `nimb` whose targets
# carry the `nimb::` namespace, and a pkg-config file `nimb.pc`.
include(CMakePackageConfigHelpers)

# Plug-ins live apart from the libraries: hosts load them by path, nothing links them.
set(NIMB_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/nimb/plugins)

# One target for hosts: the DDS host layer and the topic interfaces. The plug-in is loaded, not linked.
add_library(nimb-tarvex INTERFACE)
add_library(nimb::nimb-tarvex ALIAS nimb-tarvex)
target_link_libraries(nimb-tarvex INTERFACE nimb::dds nimb::icd-tarvex)
install(TARGETS nimb-tarvex EXPORT nimbTargets)

set_target_properties(nimb-icd-tarvex PROPERTIES EXPORT_NAME icd-tarvex)
# The host libraries find each other in their own directory, the plug-in finds them two levels up.
set_target_properties(nimb nimb-dds nimb-icd-tarvex PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(nimb-dds-tarvex PROPERTIES INSTALL_RPATH "$ORIGIN/../..")

install(TARGETS nimb-icd-tarvex EXPORT nimbTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${IDLGEN_OUT}/tarvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
install(TARGETS nimb-dds-tarvex LIBRARY DESTINATION ${NIMB_PLUGIN_INSTALL_DIR})

install(EXPORT nimbTargets NAMESPACE nimb:: FILE nimbTargets.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb)
get_target_property(_nimb_plugin_version nimb-dds-tarvex VERSION)
set(NIMB_TARVEX_PLUGIN_FILE ${CMAKE_SHARED_LIBRARY_PREFIX}nimb-dds-tarvex${CMAKE_SHARED_LIBRARY_SUFFIX}.${_nimb_plugin_version})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nimbConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/nimbConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb
                              PATH_VARS NIMB_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nimbConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nimbConfig.cmake ${PROJECT_BINARY_DIR}/nimbConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nimb)

# Relative to its own place, so the installed tree may move.
file(RELATIVE_PATH _nimb_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" _nimb_pc_prefix "${_nimb_pc_prefix}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/nimb.pc @ONLY CONTENT [==[
prefix=${pcfiledir}/@_nimb_pc_prefix@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@
plugindir=${prefix}/@NIMB_PLUGIN_INSTALL_DIR@

Name: nimb
Description: qara nimb host layer for Fast DDS, with the tarvex topic interfaces
Version: @PROJECT_VERSION@
Requires: log4cplus
Libs: -L${libdir} -lnimb-dds -lnimb-icd-tarvex -lnimb -lfastdds -lfastcdr -lboost_url -ldl
Cflags: -I${includedir}
]==])
install(FILES ${PROJECT_BINARY_DIR}/nimb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The profile library for the fastest path (README, "Performance").
install(FILES ${PROJECT_SOURCE_DIR}/profiles/fast.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/nimb/profiles)
