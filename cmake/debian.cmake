# The Debian packages, split as Debian splits a library: one package per install component.
#   libtarqdriver1      (lib)   the shared library, and the system-wide tarqRS.ini as a conffile
#   libtarqdriver-dev   (dev)   header, .so link, pkg-config and CMake files, the C example till
#   libtarqdriver-java  (java)  javaTarq.jar and the Java example till
#   tarqdriver-tools    (tools) tarqsim and tarqecr with their manual pages
# Each carries the copyright file and the Debian changelog in /usr/share/doc/<package>/; the ELF
# files are stripped into -dbgsym packages.
set(TARQ_DEB_RELEASE 1)
set(TARQ_DEB_VERSION ${PROJECT_VERSION}-${TARQ_DEB_RELEASE})
set(TARQ_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(TARQ_DEB_MAINTAINER "tarqdriver maintainers <tarqdriver@example.org>")
set(tarq_deb_components lib dev java tools)
set(tarq_deb_package_lib libtarqdriver${PROJECT_VERSION_MAJOR})
set(tarq_deb_package_dev libtarqdriver-dev)
set(tarq_deb_package_java libtarqdriver-java)
set(tarq_deb_package_tools tarqdriver-tools)

# The changelog's newest entry is this version (the header's), so the two never disagree.
configure_file(${TARQ_DEB_DIR}/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_BINARY_DIR}/debian/changelog.Debian
            ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian VERBATIM)
add_custom_target(tarq_deb_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)

foreach(comp IN LISTS tarq_deb_components)
    install(FILES ${TARQ_DEB_DIR}/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${tarq_deb_package_${comp}}
            COMPONENT ${comp})
endforeach()

# The examples beside the package that builds them.
install(FILES ${PROJECT_SOURCE_DIR}/examples/till.c
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${tarq_deb_package_dev}/examples
        COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/ExampleTill.java
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${tarq_deb_package_java}/examples
        COMPONENT java)

# The system-wide configuration, read when no tarqRS.ini lies beside the library. It belongs to
# the package that reads it. Only the package takes it (EXCLUDE_FROM_ALL): `cmake --install`
# into a prefix never writes to /etc.
install(FILES ${TARQ_DEB_DIR}/tarqRS.ini DESTINATION /etc/tarqdriver COMPONENT lib
        EXCLUDE_FROM_ALL)
file(WRITE ${PROJECT_BINARY_DIR}/debian/lib/conffiles "/etc/tarqdriver/tarqRS.ini\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian/lib/triggers "activate-noawait ldconfig\n")

macro(tarq_debian_cpack)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL ${tarq_deb_components})
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARQ_DEB_RELEASE})
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARQ_DEB_MAINTAINER})
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # Earlier releases were one package, tarqdriver, holding the files of dev, java and tools.
    set(tarq_deb_split "tarqdriver (<< ${TARQ_DEB_VERSION})")
    foreach(comp DEV JAVA TOOLS)
        set(CPACK_DEBIAN_${comp}_PACKAGE_BREAKS ${tarq_deb_split})
        set(CPACK_DEBIAN_${comp}_PACKAGE_REPLACES ${tarq_deb_split})
    endforeach()
    # The package's own summary line comes from each description's first line.
    unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-dbgsym.cmake)
    set(tarq_deb_about
        "tarqdriver lets a cash register (ECR) have a payment card terminal on an RS232\n"
        "line take card payments and do its administrative work (reports, end of day,\n"
        "last receipt, clock sync, connection test, restart), through a plain C\n"
        "interface or the Java class no.kelmo.javaTarq.\n\n")

    set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${tarq_deb_package_lib})
    set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
    set(CPACK_DEBIAN_LIB_DEBUGINFO_PACKAGE ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
    # The ldconfig trigger is what Debian expects of a shared library package (CPack also adds
    # postinst and postrm scripts calling ldconfig, which are redundant but harmless).
    set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/lib/conffiles
                                               ${PROJECT_BINARY_DIR}/debian/lib/triggers)
    string(CONCAT CPACK_DEBIAN_LIB_DESCRIPTION
        "payment card terminal driver for cash registers\n" ${tarq_deb_about}
        "This package holds the shared library and the system-wide configuration\n"
        "/etc/tarqdriver/tarqRS.ini (serial line and field trace).")

    set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${tarq_deb_package_dev})
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${tarq_deb_package_lib} (= ${TARQ_DEB_VERSION})")
    string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
        "payment card terminal driver for cash registers - development files\n"
        ${tarq_deb_about}
        "This package holds the C header, the pkg-config and CMake files, and a small\n"
        "example till in C.")

    set(CPACK_DEBIAN_JAVA_PACKAGE_NAME ${tarq_deb_package_java})
    set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
    set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_JAVA_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "${tarq_deb_package_lib} (= ${TARQ_DEB_VERSION})")
    string(CONCAT CPACK_DEBIAN_JAVA_DESCRIPTION
        "payment card terminal driver for cash registers - Java bindings\n" ${tarq_deb_about}
        "This package holds javaTarq.jar, whose native methods are in the shared\n"
        "library, and an example till in Java.")

    set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${tarq_deb_package_tools})
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
    # tarqecr loads the library at run time, which dpkg-shlibdeps cannot see.
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tarq_deb_package_lib} (= ${TARQ_DEB_VERSION})")
    string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
        "payment card terminal driver for cash registers - test tools\n" ${tarq_deb_about}
        "This package holds tarqsim, a simulated terminal on a pseudo-terminal, and\n"
        "tarqecr, a cash register on the command line.")
endmacro()
