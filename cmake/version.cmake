# The version of a build, from the project's version BASE (X.Y.Z) and the git checkout SOURCE_DIR:
#   X.Y.Z                       a clean checkout of the tag vX.Y.Z, or a tree without git (a
#                               source tarball, which is cut from a release tag)
#   X.Y.Z~gitYYYYMMDD.SHORTSHA  any other commit: its commit date (UTC) and abbreviated hash.
#                               Debian sorts it after every earlier release and before X.Y.Z.
# and the revision, "git describe --always --dirty" ("" without git).
#
# As a script (cmake -DBASE=X.Y.Z -DSOURCE_DIR=DIR [-DHEADER=FILE] [-DVERSION_FILE=FILE]
# -P version.cmake) it writes a header defining QUELMAR_VERSION and QUELMAR_REVISION and a file
# holding the version alone; each is rewritten only when it changed, so that the build runs it
# every time without rebuilding anything. Without an output it prints the version.

function(quelmar_build_version base source_dir out_version out_revision)
  set(version "${base}")
  set(revision "")
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS "${source_dir}/.git")
    macro(git_output variable)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 "${GIT_EXECUTABLE}" -C
                              "${source_dir}" ${ARGN}
                      OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                      RESULT_VARIABLE git_result)
      if(NOT git_result EQUAL 0)
        set(${variable} "")
      endif()
    endmacro()
    git_output(revision describe --always --dirty --abbrev=12)
    git_output(commit_date log -1 --date=format-local:%Y%m%d --format=%cd)
    git_output(short_sha rev-parse --short=12 HEAD)
    git_output(release_tag tag --points-at HEAD --list "v${base}")
    if(commit_date AND short_sha AND NOT (release_tag AND NOT revision MATCHES "-dirty$"))
      set(version "${base}~git${commit_date}.${short_sha}")
    endif()
  endif()
  set(${out_version} "${version}" PARENT_SCOPE)
  set(${out_revision} "${revision}" PARENT_SCOPE)
endfunction()

function(quelmar_write_if_changed path content)
  file(WRITE "${path}.new" "${content}")
  file(COPY_FILE "${path}.new" "${path}" ONLY_IF_DIFFERENT)
  file(REMOVE "${path}.new")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT BASE MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "version.cmake: BASE must be X.Y.Z, not '${BASE}'")
  endif()
  quelmar_build_version("${BASE}" "${SOURCE_DIR}" version revision)
  if(HEADER)
    quelmar_write_if_changed("${HEADER}" "// Generated at build time.\n#pragma once\n\
#define QUELMAR_VERSION \"${version}\"\n#define QUELMAR_REVISION \"${revision}\"\n")
  endif()
  if(VERSION_FILE)
    quelmar_write_if_changed("${VERSION_FILE}" "${version}\n")
  endif()
  if(NOT HEADER AND NOT VERSION_FILE)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
  endif()
endif()
