# Run by `cmake --install`: fills the paths of this install into the man pages and the
# examples, so they name the prefix actually installed to (--prefix, CMAKE_INSTALL_PREFIX)
# and not the one configured. Expects SOURCE_DIR, the relative install directories and the
# version from the install step (docs/CMakeLists.txt).
function(full_dir out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
full_dir(UPDATER_BINDIR "${BINDIR}")
full_dir(UPDATER_PROGDIR "${PROGDIR}")
full_dir(UPDATER_DOCDIR "${DOCDIR}")
full_dir(mandir "${MANDIR}")
# A system install keeps its configuration in /etc and its logs where the service's
# LogsDirectory= puts them; any other prefix below itself.
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/usr/local")
  set(UPDATER_CONFDIR "/etc/updater")
  set(UPDATER_LOGDIR "/var/log/updater")
else()
  set(UPDATER_CONFDIR "${prefix}/etc/updater")
  set(UPDATER_LOGDIR "${prefix}/var/log/updater")
endif()

set(staging "${BINARY_DIR}/installed-docs")
foreach(doc updater.1 update-publish.1 examples/updater.service examples/updater.timer
        examples/update.conf)
  configure_file("${SOURCE_DIR}/${doc}.in" "${staging}/${doc}" @ONLY)
endforeach()
file(INSTALL "${staging}/updater.1" "${staging}/update-publish.1"
  DESTINATION "${mandir}/man1")
file(INSTALL "${staging}/examples/updater.service" "${staging}/examples/updater.timer"
  "${staging}/examples/update.conf" DESTINATION "${UPDATER_DOCDIR}/examples")
