# Run by `cmake --install`: writes zvthostd's systemd unit with the paths of
# this install, and installs its configuration unless one is there already.
# Given ZVT_BINDIR, ZVT_SYSCONFDIR (as configured, possibly relative) and
# ZVT_SOURCE_DIR, ZVT_BINARY_DIR, ZVT_UNIT_DIR; CMAKE_INSTALL_PREFIX is the
# prefix installed to.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${ZVT_BINDIR}")
  set(bindir "${ZVT_BINDIR}")
else()
  set(bindir "${prefix}/${ZVT_BINDIR}")
endif()
# The configuration directory of a /usr install is /etc, as GNUInstallDirs has it.
if(IS_ABSOLUTE "${ZVT_SYSCONFDIR}")
  set(sysconfdir "${ZVT_SYSCONFDIR}")
elseif(prefix STREQUAL "/usr" AND ZVT_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${prefix}/${ZVT_SYSCONFDIR}")
endif()

set(ZVT_INSTALL_BINDIR "${bindir}")
set(ZVT_INSTALL_SYSCONFDIR "${sysconfdir}")
set(unit "${ZVT_BINARY_DIR}/zvthostd.service.installed")
configure_file("${ZVT_SOURCE_DIR}/cmake/templates/zvthostd.service.in" "${unit}" @ONLY)
if(IS_ABSOLUTE "${ZVT_UNIT_DIR}")
  set(unit_dir "${ZVT_UNIT_DIR}")
else()
  set(unit_dir "${prefix}/${ZVT_UNIT_DIR}")
endif()
file(INSTALL "${unit}" DESTINATION "${unit_dir}" RENAME zvthostd.service)

set(config "${sysconfdir}/zvt/zvthostd.json")
if(EXISTS "$ENV{DESTDIR}${config}")
  message(STATUS "Kept: $ENV{DESTDIR}${config}")
else()
  file(INSTALL "${ZVT_SOURCE_DIR}/hostd/zvthostd.json" DESTINATION "${sysconfdir}/zvt")
endif()
