# Renders CHANGELOG.md as the Debian changelog of the packages (OUTPUT): one entry per
# "## X.Y.Z (YYYY-MM-DD)" section, newest first, its bullets as the entry's lines. The newest
# section must be the project's version BASE; its entry carries the build's version (read from
# VERSION_FILE) and, while it says "(unreleased)", the commit's date.
# usage: cmake -DCHANGELOG=.. -DBASE=X.Y.Z -DVERSION_FILE=.. -DSOURCE_DIR=.. -DMAINTAINER=..
#              -DOUTPUT=.. -P changelog.cmake

# "Tue, 08 Dec 2026 00:00:00 +0000" for seconds since the epoch.
function(rfc2822_date epoch out)
  set(saved "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${saved}")
  set(${out} "${date}" PARENT_SCOPE)
endfunction()

# Seconds since the epoch of midnight UTC of a proleptic Gregorian date.
function(epoch_of_day year month day out)
  # Years from March, so that a leap day ends one; dates before 1970 never occur here.
  math(EXPR month "${month} + 0")  # without a leading zero
  math(EXPR day "${day} + 0")
  if(month LESS_EQUAL 2)
    math(EXPR y "${year} - 1")
  else()
    set(y ${year})
  endif()
  math(EXPR era "${y} / 400")
  math(EXPR yoe "${y} - ${era} * 400")
  math(EXPR mp "(${month} + 9) % 12")
  math(EXPR doy "(153 * ${mp} + 2) / 5 + ${day} - 1")
  math(EXPR doe "${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy}")
  math(EXPR days "${era} * 146097 + ${doe} - 719468")
  math(EXPR seconds "${days} * 86400")
  set(${out} "${seconds}" PARENT_SCOPE)
endfunction()

# The date of the last commit, or of CHANGELOG.md outside git.
function(unreleased_epoch out)
  set(epoch "")
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    file(TIMESTAMP "${CHANGELOG}" epoch "%s" UTC)
  endif()
  set(${out} "${epoch}" PARENT_SCOPE)
endfunction()

file(STRINGS "${VERSION_FILE}" build_version LIMIT_COUNT 1)
file(STRINGS "${CHANGELOG}" lines ENCODING UTF-8)
set(text "")
set(entry "")
set(first TRUE)
macro(close_entry)
  if(entry_version)
    string(APPEND text "quelmar (${entry_version}) unstable; urgency=medium\n\n${entry}\n"
           " -- ${MAINTAINER}  ${entry_date}\n\n")
  endif()
  set(entry "")
endmacro()
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) \\((unreleased|([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9]))\\)$")
    close_entry()
    set(entry_version "${CMAKE_MATCH_1}")
    if(CMAKE_MATCH_2 STREQUAL "unreleased")
      unreleased_epoch(epoch)
    else()
      epoch_of_day(${CMAKE_MATCH_3} ${CMAKE_MATCH_4} ${CMAKE_MATCH_5} epoch)
    endif()
    rfc2822_date(${epoch} entry_date)
    if(first)
      if(NOT entry_version STREQUAL BASE)
        message(FATAL_ERROR "CHANGELOG.md: the newest section is ${entry_version}, not the "
                            "project's version ${BASE}: add a section for ${BASE}")
      endif()
      set(entry_version "${build_version}")
      set(first FALSE)
    endif()
  elseif(line MATCHES "^## ")
    message(FATAL_ERROR "CHANGELOG.md: not a version heading: ${line}")
  elseif(NOT entry_version)
    # the preamble
  elseif(line MATCHES "^### (.+)$")
    string(APPEND entry "  ${CMAKE_MATCH_1}:\n")
  elseif(line MATCHES "^- <!--.*-->$")
    # a placeholder for items still to come
  elseif(line MATCHES "^- (.+)$")
    string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.+)$")
    string(APPEND entry "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
close_entry()
if(first)
  message(FATAL_ERROR "CHANGELOG.md has no version section")
endif()
# Headings without a single item are left out.
string(REGEX REPLACE "  [A-Za-z ]+:\n(  [A-Za-z ]+:\n|\n)" "\\1" text "${text}")
string(REGEX REPLACE "  [A-Za-z ]+:\n(  [A-Za-z ]+:\n|\n)" "\\1" text "${text}")
string(REGEX REPLACE "\n\n$" "\n" text "${text}")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
