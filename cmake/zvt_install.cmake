# Installation, by the GNU directory variables:
#   libdir/               libzvtappad.so.0 and libzvtclient.so.0, the two public
#                         libraries (development links in the dev component)
#   libdir/zvtappad/      the modules they load by bare file name: resource
#                         libraries, zvtshare.dll, zvtusrgp.dll
#   bindir/               zvthostd, zvtadm
#   includedir/zvtappad/  zvtappad.h, zvtclient.h
#   libdir/pkgconfig/     zvtappad.pc, zvtclient.pc
#   libdir/cmake/zvtappad targets zvtappad::zvtappad and zvtappad::zvtclient
#   mandir/               zvtadm(1), zvthostd(8), zvtappad(3)
#   datadir/bash-completion/completions/zvtadm
#   datadir/zvt/console/  the web console's pages, which zvthostd serves
#   sysconfdir/zvt/       zvthostd.json (kept when it exists)
#   ZVT_SYSTEMD_UNIT_DIR  zvthostd.service, its paths those of the install
#                         (lib/systemd/system below the prefix by default)
#   ZVT_MACHINE_STATE_DIR the machine-wide registry store's directory
#
# The public libraries carry no RUNPATH: libzvtappad finds libzvtclient as the
# loader finds any library in libdir. The programs carry one to libdir when it
# is not a directory the loader searches anyway.
include(CMakePackageConfigHelpers)

set(ZVT_SOVERSION 0)
foreach(lib zvtappad zvtclient)
  set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION}.0 SOVERSION ${ZVT_SOVERSION})
endforeach()
target_include_directories(zvtappad INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(zvtclient INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# A program using the handle exports gets its handles from the client.
target_link_libraries(zvtappad PUBLIC zvtclient)

set(ZVT_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/zvtappad)
install(TARGETS zvtappad zvtclient EXPORT zvtappadTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT dev)
install(TARGETS zvtadmrs zvtpgmrs zvtusrgp zvtshare
        LIBRARY DESTINATION ${ZVT_MODULE_INSTALL_DIR} COMPONENT runtime)

# The programs find the libraries by a RUNPATH only when they are installed
# where the dynamic loader does not look anyway: not in the system's library
# directories, the multiarch ones (/usr/lib/x86_64-linux-gnu) included.
list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" zvt_system_libdir)
if(CMAKE_INSTALL_FULL_LIBDIR MATCHES "^/(usr/)?lib(32|64|/[^/]+-linux-[^/]+)?$")
  set(zvt_system_libdir 0)
endif()
if(zvt_system_libdir EQUAL -1)
  file(RELATIVE_PATH zvt_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(zvthostd zvtadm PROPERTIES INSTALL_RPATH "\$ORIGIN/${zvt_bin_to_lib}")
endif()
install(TARGETS zvthostd zvtadm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

install(FILES ${PROJECT_SOURCE_DIR}/include/zvtappad/zvtappad.h
              ${PROJECT_SOURCE_DIR}/include/zvtappad/zvtclient.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zvtappad COMPONENT dev)

file(RELATIVE_PATH ZVT_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" ZVT_PC_TO_PREFIX "${ZVT_PC_TO_PREFIX}")
foreach(pc zvtappad zvtclient)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endforeach()

install(EXPORT zvtappadTargets NAMESPACE zvtappad::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/zvtappadConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/zvtappadConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zvtappadConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zvtappadConfig.cmake
              ${PROJECT_BINARY_DIR}/zvtappadConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvtappad COMPONENT dev)

set(ZVT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where zvthostd.service is installed (relative: below the prefix)")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/hostd/console/ DESTINATION ${CMAKE_INSTALL_DATADIR}/zvt/console
        COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/zvtadm.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zvtadm
        COMPONENT runtime)

foreach(page zvtadm.1 zvthostd.8 zvtappad.3)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${page}
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT doc)
endforeach()
# `man zvtUN_GetAdminValue` and the others find the library's page.
foreach(function zvtUN_GetAdminValue zvtUN_GetAdminCacheState zvtUN_GetAdminValueEx
                 zvtUN_GetAdminCacheStateEx zvtsvc_GetSystemHandle)
  file(WRITE ${PROJECT_BINARY_DIR}/man/${function}.3 ".so man3/zvtappad.3\n")
  install(FILES ${PROJECT_BINARY_DIR}/man/${function}.3
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT doc)
endforeach()
# What the manual pages point to.
install(FILES ${PROJECT_SOURCE_DIR}/docs/wire.md ${PROJECT_SOURCE_DIR}/docs/host-json.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zvthostd COMPONENT doc)

# The server's unit and configuration get their paths when they are installed,
# so that `cmake --install --prefix DIR` gives a unit that runs from DIR.
install(CODE "
  set(ZVT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ZVT_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(ZVT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(ZVT_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
  set(ZVT_UNIT_DIR \"${ZVT_SYSTEMD_UNIT_DIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/zvt_install_server.cmake\")
" COMPONENT server)

if(ZVT_MACHINE_STATE_UNDER_PREFIX)
  file(RELATIVE_PATH zvt_state_dir "${CMAKE_INSTALL_PREFIX}" "${ZVT_MACHINE_STATE_DIR}")
else()
  set(zvt_state_dir "${ZVT_MACHINE_STATE_DIR}")
endif()
install(DIRECTORY DESTINATION ${zvt_state_dir} COMPONENT runtime)
