# What `cmake --install` puts beside the programs: headers, the CMake package configuration,
# quelmar.pc and the bash completion. Components: cli, fake_fly, dev (the Debian packages).
include(CMakePackageConfigHelpers)

install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(quelmar_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quelmar)
install(EXPORT quelmarTargets NAMESPACE quelmar:: DESTINATION ${quelmar_cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/quelmarConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/quelmarConfig.cmake
                              INSTALL_DESTINATION ${quelmar_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quelmarConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quelmarConfig.cmake
              ${PROJECT_BINARY_DIR}/quelmarConfigVersion.cmake
        DESTINATION ${quelmar_cmake_dir} COMPONENT dev)

# quelmar.pc is written at install time: `cmake --install --prefix` and packaging choose the
# prefix then, and pkg-config needs it as an absolute path.
set(quelmar_pc_public "nlohmann_json >= 3.11")  # in the public headers
set(quelmar_pc_linked libcurl simdjson ldns spdlog libcrypto)
if(BUILD_SHARED_LIBS)
  set(quelmar_pc_requires ${quelmar_pc_public})
  set(quelmar_pc_requires_private ${quelmar_pc_linked})
else()
  # Nothing but static archives: every link needs the libraries they call.
  set(quelmar_pc_requires ${quelmar_pc_public} ${quelmar_pc_linked})
  set(quelmar_pc_requires_private "")
endif()
list(JOIN quelmar_pc_requires ", " quelmar_pc_requires)
# Filled in by the install step, which knows the prefix and the version of the last build.
set(quelmar_pc_prefix "@quelmar_pc_prefix@")
set(quelmar_pc_version "@quelmar_pc_version@")
foreach(dir IN ITEMS includedir libdir)
  string(TOUPPER ${dir} upper)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${upper}}")
    set(quelmar_pc_${dir} "${CMAKE_INSTALL_${upper}}")
  else()
    set(quelmar_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${upper}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(quelmar_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(quelmar_pc_dir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
configure_file(cmake/quelmar.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/quelmar.pc.in @ONLY)
# One file per destination: a package build and an install may run at the same time.
install(CODE "
  set(quelmar_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  file(STRINGS \"${QUELMAR_VERSION_FILE}\" quelmar_pc_version LIMIT_COUNT 1)
  string(MD5 destination \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(pc \"${PROJECT_BINARY_DIR}/pkgconfig/\${destination}/quelmar.pc\")
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/quelmar.pc.in\" \"\${pc}\" @ONLY)
  file(INSTALL DESTINATION \"${quelmar_pc_dir}\" TYPE FILE FILES \"\${pc}\")
" COMPONENT dev)

set(quelmar_completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES completion/quelmar.bash DESTINATION ${quelmar_completion_dir} RENAME quelmar
        COMPONENT cli)
install(FILES completion/quelmar-fake-fly.bash DESTINATION ${quelmar_completion_dir}
        RENAME quelmar-fake-fly COMPONENT fake_fly)

# Deployment examples: the alerting rules, and a nightly comparison for a node exporter's text-file
# collector as a systemd service and timer, which nothing enables.
install(FILES examples/profile-log-alerts.yml examples/systemd/quelmar-replicas.service
              examples/systemd/quelmar-replicas.timer
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quelmar/examples COMPONENT cli)

# Everything the install rules take, without the tests and benchmarks. `make install` and
# `make package` in a build directory install what was built, as `cmake --install` does; the
# project's Makefile builds this target first.
add_custom_target(installable)
add_dependencies(installable quelmar quelmar-fake-fly quelmar_dunmere corvane quelmar_util
                 quelmar_vostrel quelmar_fleet man debian_changelog)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
