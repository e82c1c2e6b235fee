#!/usr/bin/env bash
# The man pages render without a warning and document what --help lists: for each command, the
# options its --help page lists are those its section defines, and every command has a section.
# usage: man_pages_test.sh MAN_BUILD_DIR MAN_SOURCE_DIR QUELMAR QUELMAR_FAKE_FLY
set -uo pipefail
. "$(dirname "$0")/check.sh"
built=$1 sources=$2 quelmar=$3 fake=$4

for page in quelmar.1 quelmar-fake-fly.1; do
  warnings=$(MANWIDTH=80 man --warnings -l "$built/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
  [ "$(MANWIDTH=80 man -l "$built/$page" 2>/dev/null | wc -l)" -gt 20 ] ||
    fail "man $page renders (next to) nothing"
done

# The options a section of an scd page defines, one per line: the option names on each line
# that a tab-indented description follows.
man_options() {  # PAGE HEADING
  awk -v heading="$2" '
    /^#/ { inside = ($0 == heading); previous = ""; next }
    inside && /^\t/ && previous ~ /^\*-/ {
      line = previous
      while (match(line, /\*-[^*]*\*/)) {
        print substr(line, RSTART + 1, RLENGTH - 2)
        line = substr(line, RSTART + RLENGTH)
      }
    }
    { previous = $0 }' "$1"
}

# Compares the options of every command of PROGRAM with the page's sections: the program's own
# options with "# OPTIONS", a command's with "## COMMAND".
check_page() {  # PROGRAM PAGE
  local program=$1 page=$2 command heading listed documented
  while IFS= read -r command; do
    if [ -z "$command" ]; then
      heading="# OPTIONS"
      listed=$(help_options "$program" | sort -u)
    else
      heading="## $command"
      # --help is described once, for every command.
      listed=$(help_options "$program" $command | grep -vx -e -h -e --help | sort -u)
      if [ -z "$listed" ] && [ -n "$(help_subcommands "$program" $command)" ]; then
        continue  # a group of commands without options of its own
      fi
      grep -qxF "$heading" "$page" || {
        fail "$(basename "$page"): no section '$heading'"
        continue
      }
    fi
    documented=$(man_options "$page" "$heading" | sort -u)
    for option in $(comm -23 <(echo "$listed") <(echo "$documented")); do
      fail "$(basename "$page"): '$heading' lacks $option, which --help lists"
    done
    for option in $(comm -13 <(echo "$listed") <(echo "$documented")); do
      fail "$(basename "$page"): '$heading' documents $option, which --help does not list"
    done
  done < <(help_commands "$program")
}

[ "$(help_commands "$quelmar" | wc -l)" -gt 5 ] || fail "no commands found in quelmar --help"
check_page "$quelmar" "$sources/quelmar.1.scd"
check_page "$fake" "$sources/quelmar-fake-fly.1.scd"
finish
