# The installable Linux package: the launcher built for installation, its desktop entry, menu
# icons, manual page and the Debian package (cpack -G DEB) that carries them.
if(NOT UNIX OR APPLE)
    return()
endif()

include(GNUInstallDirs)

# Installing and packaging take what is built, without building everything first: the tests
# package from a tree that is built already, and a release build runs cmake --build before cpack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(WARDGATE_PACKAGE_MAINTAINER "Veyrun server team <launcher@veyrun.example>" CACHE STRING
    "Maintainer named in the Debian package")

# The installed launcher is main.cpp built once more with self-update off: the package manager
# updates it. It links what the launcher links, whatever the libraries are called.
get_target_property(WARDGATE_LAUNCHER_LIBRARIES Wardgate LINK_LIBRARIES)
add_executable(wardgate-installed "${PROJECT_SOURCE_DIR}/src/app/main.cpp")
target_link_libraries(wardgate-installed PRIVATE ${WARDGATE_LAUNCHER_LIBRARIES})
target_compile_definitions(wardgate-installed PRIVATE WARDGATE_PACKAGED)
set_target_properties(wardgate-installed PROPERTIES
    OUTPUT_NAME wardgate
    RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/package")

# A package from a developer's tree (not a Release build, or the dev server's address as the auth
# default) says so in its version and description, so it is not handed to players by mistake.
# "~dev" sorts before the release of the same number, which replaces it.
set(WARDGATE_PACKAGE_VERSION "${PROJECT_VERSION}")
set(WARDGATE_PACKAGE_NOTE "")
if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$" OR
   WARDGATE_DEFAULT_AUTH_URL MATCHES "^https?://(127\\.|localhost)")
    set(WARDGATE_PACKAGE_VERSION "${PROJECT_VERSION}~dev")
    set(WARDGATE_PACKAGE_NOTE "
.
Development build (build type '${CMAKE_BUILD_TYPE}', auth service
${WARDGATE_DEFAULT_AUTH_URL}): not for players.")
endif()

# Without a built-in key the installed launcher takes unsigned game files and updates unless its
# ini names a key: a package to hand to players carries the server's key.
if(NOT WARDGATE_SIGNING_KEY)
    string(APPEND WARDGATE_PACKAGE_NOTE "
.
No signing key built in (WARDGATE_SIGNING_KEY): unsigned game files are
accepted unless the player's launcher.ini names a key.")
endif()

set(packaging "${PROJECT_SOURCE_DIR}/packaging/linux")
set(generated "${PROJECT_BINARY_DIR}/package/generated")

# Dated by SOURCE_DATE_EPOCH when it is set, so a release build can be reproduced.
string(TIMESTAMP WARDGATE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${packaging}/changelog" "${generated}/changelog" @ONLY)
configure_file("${packaging}/copyright" "${generated}/copyright" @ONLY)
configure_file("${packaging}/wardgate.6" "${generated}/wardgate.6" @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(file changelog wardgate.6)
    execute_process(COMMAND "${GZIP_PROGRAM}" -9nf "${generated}/${file}")
endforeach()

install(TARGETS wardgate-installed RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${packaging}/wardgate.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
foreach(size 16 24 32 48 64 128 256)
    install(FILES "${packaging}/icons/${size}x${size}/wardgate.png"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
endforeach()
install(FILES "${generated}/wardgate.6.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man6")
install(FILES "${generated}/changelog.gz" "${generated}/copyright"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/wardgate")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wardgate)
set(CPACK_PACKAGE_VENDOR "Veyrun")
set(CPACK_PACKAGE_VERSION "${WARDGATE_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "${WARDGATE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WARDGATE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "launcher of the Veyrun game server
Wardgate logs the player in against the Veyrun server's auth service, checks
the game files against the server's manifest, downloads what is missing or
damaged, and starts and watches the game. It lives in the system tray while
the game runs.${WARDGATE_PACKAGE_NOTE}")
# Qt and OpenSSL come from the binary's own links; bsdtar unpacks the base-client archive.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libarchive-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The package built, installed, started and removed for real (needs root or sudo, else skipped).
if(WARDGATE_BUILD_TESTS)
    enable_testing()
    add_test(NAME package_deb COMMAND "${PROJECT_SOURCE_DIR}/scripts/check-package" "${PROJECT_BINARY_DIR}")
    set_tests_properties(package_deb PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
