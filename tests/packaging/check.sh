# Sourced by the packaging tests: failures are counted and listed, and `finish` ends the test.
# One collation for sort and comm, whatever the caller's locale.
export LC_ALL=C.UTF-8
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
}

# The commands of a CLI11 program, as its --help pages list them: one line per command, the
# words after the program's name ("" for the program itself).
help_commands() {  # PROGRAM
  local queue=("") command sub
  while [ ${#queue[@]} -gt 0 ]; do
    command=${queue[0]}
    queue=("${queue[@]:1}")
    echo "$command"
    for sub in $(help_subcommands "$1" $command); do
      queue+=("${command:+$command }$sub")
    done
  done
}

help_subcommands() {  # PROGRAM WORDS...
  "$@" --help | awk '/^Subcommands:/ { s = 1; next } /^[^ ]/ { s = 0 } s && /^  [a-z]/ { print $1 }'
}

# The option names of one --help page, in whatever group, one per line ("-h,--help" gives two);
# not those of the commands above it ("Options of quelmar fly:").
help_options() {  # PROGRAM WORDS...
  "$@" --help | awk '/^Options of / { exit } /^  -/ { print $1 }' | tr ',' '\n'
}
