# Installs the program and its data in one folder (it finds its files beside the executable),
# with a symlink on PATH, plus the desktop integration and the list service for self-hosting.
# Works for any prefix and DESTDIR: `cmake --install <build> --prefix /usr` with DESTDIR=/tmp/x.
include(GNUInstallDirs)

# A fixed, prefix-relative folder: the multiarch libdir would differ between the configure-time
# prefix and the one given to `cmake --install --prefix`, and the symlink must match either.
set(VEILPORT_INSTALL_DIR lib/veilport)
set(VEILPORT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/veilport)

if(TARGET veilport)
    install(TARGETS veilport veilport-companion-host veilport-infopage RUNTIME DESTINATION ${VEILPORT_INSTALL_DIR})
    # Skins are packed into the build's bin/ at build time; data/skins in the tree holds none.
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/ DESTINATION ${VEILPORT_INSTALL_DIR}
            PATTERN skins EXCLUDE)
    if(TARGET veilport_skins)
        install(DIRECTORY ${VEILPORT_BIN_DIR}/skins/ DESTINATION ${VEILPORT_INSTALL_DIR}/skins
                FILES_MATCHING PATTERN "*.skn")
    endif()
    # A relative link, so the tree stays correct wherever DESTDIR puts it.
    file(RELATIVE_PATH VEILPORT_LINK_TARGET /root/${CMAKE_INSTALL_BINDIR} /root/${VEILPORT_INSTALL_DIR}/veilport)
    install(CODE "
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/veilport\")
        message(STATUS \"Installing: \${link} -> ${VEILPORT_LINK_TARGET}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(REMOVE \"\${link}\")
        file(CREATE_LINK ${VEILPORT_LINK_TARGET} \"\${link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")
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
    # The unit names the executable where this install puts it. The prefix may be given only at
    # install time (`cmake --install --prefix`, CPack), so the unit is filled in then.
    if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
        set(VEILPORT_UNIT_BINDIR "${CMAKE_INSTALL_BINDIR}")
    else()
        set(VEILPORT_UNIT_BINDIR "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
    endif()
    install(CODE "
        set(VEILPORT_LISTSERVICE_EXECUTABLE \"${VEILPORT_UNIT_BINDIR}/veilport-listservice\")
        set(VEILPORT_LISTSERVICE_EXAMPLES \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/veilport-listservice\")
        set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/veilport-listservice.service\")
        message(STATUS \"Installing: \${unit}\")
        configure_file(${CMAKE_SOURCE_DIR}/packaging/veilport-listservice.service.in \"\${unit}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
    ")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.veilport.Veilport.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/org.veilport.Veilport.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/veilport.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME org.veilport.Veilport.svg)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/veilport-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME org.veilport.Veilport.png)
endforeach()

# Manual pages and the changelog go compressed, as Debian wants them; gzip -n keeps the bytes
# the same from build to build.
function(veilport_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    install(CODE "
        set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}\")
        file(MAKE_DIRECTORY \"\${dir}\")
        message(STATUS \"Installing: \${dir}/${name}.gz\")
        execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE \"\${dir}/${name}.gz\" RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR \"gzip ${source} failed: \${rc}\")
        endif()
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${dir}/${name}.gz\")
    ")
endfunction()

veilport_install_gzipped(${CMAKE_SOURCE_DIR}/packaging/veilport.1 ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET veilport-listservice)
    veilport_install_gzipped(${CMAKE_SOURCE_DIR}/packaging/veilport-listservice.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()
veilport_install_gzipped(${CMAKE_SOURCE_DIR}/packaging/changelog ${VEILPORT_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${VEILPORT_DOC_DIR})

# `make install` and CPack install what is built already; scripts/package builds first, and the
# packaging tests depend on the targets they install.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

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
# The list service's default flags and country names; xdg-utils opens the site pages; tor and its GeoIP
# tables hide through Tor (the option says why when tor is missing).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, famfamfam-flag-png, iso-codes, libqt6sql6-sqlite, tor, tor-geoipdb")
# The list service reaches a shared PostgreSQL database through this driver.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
