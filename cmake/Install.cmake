# The install rules, in the four components that the Debian packages follow:
# runtime (the adaptor module), platform (our builds of the three platform
# libraries), dev (headers, CMake package, pkg-config file, the unversioned
# library links) and tools (facepadctl, facepad-sim).
include(CMakePackageConfigHelpers)
set(ZR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TerminalFace_ZR)

install(TARGETS TerminalFace_ZR
        EXPORT TerminalFace_ZRTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS TerminalFace_ZR_ToolKits TerminalFace_ZR_Terminal_Http_Tool
                TerminalFace_ZR_TerminalFace_Base
        EXPORT TerminalFace_ZRTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform NAMELINK_COMPONENT dev)
install(FILES ${ZR_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TerminalFace_ZR
        COMPONENT dev)
install(EXPORT TerminalFace_ZRTargets NAMESPACE TerminalFace_ZR:: DESTINATION ${ZR_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/TerminalFace_ZRConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TerminalFace_ZRConfig.cmake
                              INSTALL_DESTINATION ${ZR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TerminalFace_ZRConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TerminalFace_ZRConfig.cmake
              ${PROJECT_BINARY_DIR}/TerminalFace_ZRConfigVersion.cmake
        DESTINATION ${ZR_CMAKE_DIR} COMPONENT dev)
# The .pc file finds the prefix relative to itself, so the package can move.
file(RELATIVE_PATH ZR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/TerminalFace_ZR.pc.in ${PROJECT_BINARY_DIR}/TerminalFace_ZR.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/TerminalFace_ZR.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
if(ZR_BUILD_TOOLS)
  install(TARGETS facepadctl facepad-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
endif()

include(cmake/DebianPackages.cmake)
