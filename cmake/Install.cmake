# Installs the program and its data in one folder (it finds its files beside the executable),
# with a symlink on PATH, plus the desktop integration and the list service for self-hosting.
include(GNUInstallDirs)

set(VEILPORT_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/veilport)

if(TARGET veilport)
    install(TARGETS veilport RUNTIME DESTINATION ${VEILPORT_INSTALL_DIR})
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/ DESTINATION ${VEILPORT_INSTALL_DIR})
    install(CODE "
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(CREATE_LINK ../${VEILPORT_INSTALL_DIR}/veilport
             \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/veilport\" SYMBOLIC)
    ")
endif()

if(TARGET veilport-listservice)
    install(TARGETS veilport-listservice RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    foreach(example pool.example listservice.conf.example)
        if(EXISTS ${CMAKE_SOURCE_DIR}/tools/listservice/${example})
            install(FILES ${CMAKE_SOURCE_DIR}/tools/listservice/${example}
                    DESTINATION ${CMAKE_INSTALL_DATADIR}/veilport-listservice)
        endif()
    endforeach()
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilport-listservice.service DESTINATION lib/systemd/system)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.veilport.Veilport.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.veilport.Veilport.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/veilport.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME org.veilport.Veilport.svg)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/veilport-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME org.veilport.Veilport.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilport.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package: dependencies come from the libraries the binaries link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veilport)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veilport Developers <dev@veilport.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hide your IP address from web sites behind a tested anonymous proxy")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Veilport downloads a list of anonymous HTTP proxies, tests them in\n parallel and points the desktop's browsers at a working one.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, tinyproxy")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
