# Release packages, made by CPack from the install rules: a Debian package on Linux
# (`cpack -G DEB`), a zip with both Windows DLLs from the 64-bit cross build (`cpack -G ZIP`).
include(GNUInstallDirs)

if(NOT WIN32)
    # libtarqdriver.so.1.89.0 with its soname link libtarqdriver.so.1 and the link for linking.
    set_target_properties(tarqdriver PROPERTIES VERSION ${PROJECT_VERSION}
                                                SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

set(TARQ_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
if(WIN32)
    install(FILES ${TARQ_PACKAGING}/tarqRS.ini ${TARQ_PACKAGING}/README-Windows.txt DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/win/tarqdriver.def
                  ${PROJECT_SOURCE_DIR}/cmake/win/javatarq.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
    # No JDK targets Windows here: the jar comes from a native build (it is the same jar).
    set(TARQ_JAR "" CACHE FILEPATH "javaTarq.jar to put in the Windows zip")
    if(TARQ_JAR)
        install(FILES ${TARQ_JAR} DESTINATION java)
    endif()
else()
    if(TARGET tarq_java_jar)
        install_jar(tarq_java_jar DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/java COMPONENT java)
    endif()
    include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
endif()

set(CPACK_PACKAGE_NAME tarqdriver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR tarqdriver)
set(CPACK_PACKAGE_CONTACT "tarqdriver maintainers <tarqdriver@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Cash-register driver for payment card terminals on a serial line")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME tarqdriver-${PROJECT_VERSION}-windows)
    # The 32-bit DLL comes from a second cross build, installed under x86/.
    set(TARQ_WIN32_BUILD_DIR "" CACHE PATH "Build directory of the i686 DLL for the zip")
    if(TARQ_WIN32_BUILD_DIR)
        set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};tarqdriver;ALL;/"
                                         "${TARQ_WIN32_BUILD_DIR};tarqdriver;ALL;/x86")
    endif()
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    tarq_debian_cpack()
endif()
include(CPack)
