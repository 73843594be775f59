# Installation: the public headers, the library with its soname and the
# stand-in libraries it needs, the resource libraries beside them (where the
# module loader looks for bare file names), zvthostd and zvtadm, pkg-config
# and CMake package files, and a systemd unit with a sample configuration.
#
# Libraries go to <prefix>/lib: the stand-ins find the machine-wide registry
# store at <prefix>/share/zvt relative to it.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "object code libraries")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZVT_SOVERSION 0)
foreach(lib zvtappad zvtplatform zvtpgm zvtclient)
  set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION}.0 SOVERSION ${ZVT_SOVERSION})
endforeach()
target_include_directories(zvtappad INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS zvtappad EXPORT zvtappadTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zvtplatform zvtpgm zvtclient LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zvtadmrs zvtpgmrs zvtusrgp zvtshare LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zvthostd zvtadm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zvtappad
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/zvtappad.pc.in
               ${PROJECT_BINARY_DIR}/zvtappad.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zvtappad.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT zvtappadTargets NAMESPACE zvtappad::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/zvtappadConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/zvtappadConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zvtappadConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zvtappadConfig.cmake
              ${PROJECT_BINARY_DIR}/zvtappadConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad)

configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/zvthostd.service.in
               ${PROJECT_BINARY_DIR}/zvthostd.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zvthostd.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/hostd/zvthostd.json.sample
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/zvt)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/zvt)
