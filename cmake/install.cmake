# Exported names and install rules of the driver library: the library, its public header, a CMake
# package (find_package(tarqdriver)) and a pkg-config file (tarqdriver.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Only the documented operations leave the library, whatever the static layers below contain.
if(NOT WIN32)
    set(TARQ_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/tarqdriver.map)
    target_link_options(tarqdriver PRIVATE -Wl,--version-script=${TARQ_EXPORT_MAP})
    set_property(TARGET tarqdriver APPEND PROPERTY LINK_DEPENDS ${TARQ_EXPORT_MAP})
endif()

set_target_properties(tarqdriver PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/tarqdriver.h)
target_include_directories(tarqdriver INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Components, one per Debian package (cmake/packaging.cmake): lib the run-time library, dev what
# building against it needs, java the jar, tools the simulator and the ECR command line.
install(TARGETS tarqdriver EXPORT tarqdriverTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT tarqdriverTargets NAMESPACE tarqdriver::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarqdriver COMPONENT dev)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tarqdriverConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tarqdriverConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarqdriver)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarqdriverConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarqdriverConfig.cmake
              ${PROJECT_BINARY_DIR}/tarqdriverConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarqdriver COMPONENT dev)

# The pkg-config file finds the prefix from its own place, so `cmake --install --prefix` works.
string(REGEX REPLACE "[^/]+" ".." TARQ_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarqdriver.pc.in ${PROJECT_BINARY_DIR}/tarqdriver.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarqdriver.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
