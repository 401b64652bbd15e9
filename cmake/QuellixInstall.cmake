# What `cmake --install` puts on a server, and what the Debian packages are
# made of: the programs, the sink module, the event service's unit (with the
# paths of this install), a sample platform configuration, the LDAP schema,
# the man pages of man/, and bash completion.
#
# The target quellix_programs builds exactly what is installed, so that a
# build for installing or packaging (CMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
# compiles no test or benchmark.
include(GNUInstallDirs)

set(QUELLIX_MODULE_DIR "lib/quellix" CACHE STRING
    "Where Quellix.so goes, relative to the prefix (or absolute)")
set(QUELLIX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the event service's unit goes, relative to the prefix (or absolute)")
set(QUELLIX_STATE_DIR "/var/lib/quellix" CACHE PATH
    "The platform's state folder (state_dir) that the unit lets the service write")

set(quellix_installed_programs quellix-eventd quellix-host quellix-admin quellix-setup)
if(TARGET QuellixSetup)
  list(APPEND quellix_installed_programs QuellixSetup)
endif()
add_custom_target(quellix_programs ALL DEPENDS ${quellix_installed_programs} Quellix)

# Stripping is a step of the install script: the variable that `cmake
# --install --strip` sets is set at its start, before any file is copied.
# Debian's packaging turns this off and lets dh_strip keep the debug symbols
# in -dbgsym packages.
if(QUELLIX_INSTALL_STRIP AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  install(CODE "set(CMAKE_INSTALL_DO_STRIP ON)")
endif()

install(TARGETS ${quellix_installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Quellix LIBRARY DESTINATION ${QUELLIX_MODULE_DIR})
# The setup programs find the installed module there unless told otherwise
# (--module), whatever folder they are started from.
if(IS_ABSOLUTE "${QUELLIX_MODULE_DIR}")
  set(quellix_installed_module_dir "${QUELLIX_MODULE_DIR}")
else()
  set(quellix_installed_module_dir "${CMAKE_INSTALL_PREFIX}/${QUELLIX_MODULE_DIR}")
endif()
target_compile_definitions(quellix_setup_core
                           PRIVATE QUELLIX_INSTALLED_MODULE_DIR="${quellix_installed_module_dir}")

# The unit names the installed service and the folders it writes. It is
# made when installing, so that it names the prefix given then (cmake
# --install --prefix DIR), not only the one configured.
set(unit_in ${PROJECT_SOURCE_DIR}/packaging/quellix-eventd.service.in)
set(unit_out ${PROJECT_BINARY_DIR}/packaging/quellix-eventd.service)
install(CODE "
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${bindir}\")
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
  endif()
  file(READ \"${unit_in}\" unit)
  string(REPLACE \"@QUELLIX_BINDIR@\" \"\${bindir}\" unit \"\${unit}\")
  string(REPLACE \"@QUELLIX_STATE_DIR@\" \"${QUELLIX_STATE_DIR}\" unit \"\${unit}\")
  file(WRITE \"${unit_out}\" \"\${unit}\")
")
install(FILES ${unit_out} DESTINATION ${QUELLIX_SYSTEMD_UNIT_DIR})
install(FILES packaging/platform.conf.sample DESTINATION ${CMAKE_INSTALL_DATADIR}/quellix)
install(FILES localplatform/directory/schema/quellix.schema
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quellix/schema)

# Bash completion: one script for every command, under each command's name
# (bash-completion loads a completion by the name of the command).
foreach(program quellix-admin quellix-setup quellix-eventd quellix-host)
  install(FILES packaging/bash-completion/quellix DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${program})
endforeach()

# Man pages, written by hand in man/: the configuration's in section 5, the
# administrators' programs in section 8, the setup window in section 1 (only
# where the window is built).
file(GLOB quellix_man5 ${PROJECT_SOURCE_DIR}/man/*.5)
file(GLOB quellix_man8 ${PROJECT_SOURCE_DIR}/man/*.8)
install(FILES ${quellix_man5} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${quellix_man8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(TARGET QuellixSetup)
  install(FILES man/QuellixSetup.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/QuellixSetup.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# The install rules themselves, into a scratch prefix.
if(BUILD_TESTING)
  add_test(NAME install_rules
           COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/install_test.sh ${PROJECT_BINARY_DIR})
endif()
