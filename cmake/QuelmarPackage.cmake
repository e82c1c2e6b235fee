# Debian packages with CPack (`cpack -G DEB` in a build directory, or `make package`):
#   quelmar           the command line
#   quelmar-fake-fly  the offline stand-in for the platform; its own package, since it pulls in
#                     an HTTP server library that no machine managing a real fleet needs
#   libquelmar-dev    the static libraries, headers, CMake configuration and quelmar.pc
set(quelmar_maintainer
    "Seed 2e533b6d maintainers <maintainers@users.noreply.c-seed-2e533b6d.example>")
set(quelmar_packages cli quelmar fake_fly quelmar-fake-fly dev libquelmar-dev)

# Every package carries the copyright file and, as a native package, CHANGELOG.md in Debian's
# form as changelog.gz, its newest entry under the build's version.
set(quelmar_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
set(quelmar_changelog_gz ${quelmar_changelog}.gz)
add_custom_command(
  OUTPUT ${quelmar_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DBASE=${PROJECT_VERSION}
          -DVERSION_FILE=${QUELMAR_VERSION_FILE} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DMAINTAINER=${quelmar_maintainer} -DOUTPUT=${quelmar_changelog}
          -P ${PROJECT_SOURCE_DIR}/cmake/changelog.cmake
  DEPENDS CHANGELOG.md cmake/changelog.cmake ${QUELMAR_VERSION_FILE}
  VERBATIM)
add_custom_command(
  OUTPUT ${quelmar_changelog_gz}
  COMMAND sh -c "\"$1\" -9 -n -c \"$2\" >\"$3.tmp\" && mv \"$3.tmp\" \"$3\"" sh ${GZIP}
          ${quelmar_changelog} ${quelmar_changelog_gz}
  DEPENDS ${quelmar_changelog}
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${quelmar_changelog_gz})
add_dependencies(debian_changelog quelmar_version)
while(quelmar_packages)
  list(POP_FRONT quelmar_packages component package)
  # Only in packages: an install under /usr/local needs no Debian copyright file.
  install(FILES cmake/debian/copyright ${quelmar_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  string(TOUPPER ${component} component)
  set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelmar)
set(CPACK_PACKAGE_CONTACT ${quelmar_maintainer})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install scripts see the final prefix (/usr) and a staging DESTDIR: quelmar.pc names the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli fake_fly dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${quelmar_maintainer})
set(CPACK_DEBIAN_PACKAGE_SOURCE quelmar)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Operators' tools for machines on a platform: system administration.
set(CPACK_DEBIAN_PACKAGE_SECTION admin)

set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS ca-certificates)  # the API is served over HTTPS
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS quelmar-fake-fly)
set(CPACK_COMPONENT_CLI_DESCRIPTION "command line for operators of a fleet of electricity meters
quelmar audits replicas of daily profile-log files for the days that have no
file, and manages each meter's mediator machine on the Fly platform through
the Machines API: it lists, creates, starts, stops and destroys machines,
brings a whole fleet in step with a meter inventory, and finds the mediators'
addresses by DNS.")

set(CPACK_COMPONENT_FAKE_FLY_DESCRIPTION "in-memory stand-in for the Fly Machines API, for quelmar
quelmar-fake-fly serves the part of the Fly Machines API that quelmar uses,
from memory, and answers the apps' DNS names, so that quelmar can be tried
and tested offline. A machine that manages a real fleet does not need it.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libcurl4-openssl-dev | libcurl-dev, libsimdjson-dev, libldns-dev, libspdlog-dev, nlohmann-json3-dev (>= 3.11), pkgconf | pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "static libraries and headers of quelmar
The C++20 libraries behind the quelmar command line: the profile-log audit,
the Fly Machines API adapter with its HTTP client, and the fleet planner,
with their headers, a CMake package configuration for find_package(quelmar)
and a pkg-config file.")

# The version of the build that is packaged, read when cpack runs: the commit may have changed
# since CMake configured the tree.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackVersion.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(NOT EXISTS \"${QUELMAR_VERSION_FILE}\")
  message(FATAL_ERROR \"${QUELMAR_VERSION_FILE} is missing: build the installable target first\")
endif()
file(STRINGS \"${QUELMAR_VERSION_FILE}\" CPACK_PACKAGE_VERSION LIMIT_COUNT 1)
")

include(CPack)
