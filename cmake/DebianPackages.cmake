# Debian packages of the four install components, made with `cpack -G DEB`
# in a build configured with -DCMAKE_INSTALL_PREFIX=/usr (so that the
# libraries go to the multiarch folder). Names follow Debian's conventions
# for shared libraries: the runtime packages carry the SONAME's major version.
set(ZR_SONAME_MAJOR ${PROJECT_VERSION_MAJOR})
set(ZR_RUNTIME_PACKAGE libterminalface-zr${ZR_SONAME_MAJOR})
set(ZR_PLATFORM_PACKAGE libterminalface-zr-platform${ZR_SONAME_MAJOR})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(ZR_EXACT "(= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME terminalface-zr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TerminalFace_ZR")
# Each package's description below starts with its own summary line; an
# empty project summary keeps CPack from putting another above it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "TerminalFace_ZR maintainers <terminalface-zr@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime platform dev)
if(ZR_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies on Debian's own libraries come from dpkg-shlibdeps; those
# between our packages are stated, each at this exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/adaptor ${PROJECT_BINARY_DIR}/platform)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZR_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${ZR_PLATFORM_PACKAGE} ${ZR_EXACT}")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "face-terminal adaptor for the facepad service\nThe module through which an access-control host drives face-recognition\nterminals, one HTTP request to the local facepad service per operation.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME ${ZR_PLATFORM_PACKAGE})
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION
    "platform libraries of the TerminalFace_ZR adaptor\nBuilds of ToolKits, Terminal_Http_Tool and TerminalFace_Base for hosts that\ndo not bring their own. A host framework that ships libraries of these\nnames does without this package.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libterminalface-zr-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${ZR_RUNTIME_PACKAGE} ${ZR_EXACT}, ${ZR_PLATFORM_PACKAGE} ${ZR_EXACT}, libjson-c-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "face-terminal adaptor for the facepad service (development files)\nHeaders, the CMake package, the pkg-config file and the library links for\nbuilding hosts against the TerminalFace_ZR adaptor.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME terminalface-zr-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ZR_RUNTIME_PACKAGE} ${ZR_EXACT}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line tool and simulator for the facepad service\nfacepadctl drives a facepad service through the TerminalFace_ZR adaptor;\nfacepad-sim simulates the service for tests and demonstrations.")

include(CPack)
