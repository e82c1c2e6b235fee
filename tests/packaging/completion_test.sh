#!/usr/bin/env bash
# The bash completion, run as bash runs it: it offers every command and option that --help
# lists, the values of --state and --log-level that --help lists, file names after the options
# that take a file, and nothing after the other options that take a value.
# usage: completion_test.sh COMPLETION_DIR QUELMAR QUELMAR_FAKE_FLY
set -uo pipefail
. "$(dirname "$0")/check.sh"
completions=$1 quelmar=$2 fake=$3

. /usr/share/bash-completion/bash_completion
. "$completions/quelmar.bash"
. "$completions/quelmar-fake-fly.bash"

# Completes LINE at its end through the function registered for its command, as bash calls it
# (a "=" is a word of its own, as COMP_WORDBREAKS makes it); prints the candidates, sorted.
complete_line() {  # LINE
  local line=$1 function
  COMP_LINE=$line
  COMP_POINT=${#line}
  read -ra COMP_WORDS <<<"${line//=/ = }"
  [[ $line == *[\ =] ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
  COMPREPLY=()
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort -u
}

expect_has() {  # LINE WORD...: the candidates include every WORD
  local line=$1 got missing
  shift
  got=$(complete_line "$line")
  missing=$(comm -23 <(printf '%s\n' "$@" | sort -u) <(echo "$got") | tr '\n' ' ')
  [ -z "$missing" ] || fail "'$line' does not offer: $missing(got: $(echo $got))"
}

expect_exactly() {  # LINE WORD...: the candidates are the WORDs
  local line=$1 got want
  shift
  got=$(complete_line "$line")
  want=$(printf '%s\n' "$@" | sed '/^$/d' | sort -u)
  [ "$got" = "$want" ] || fail "'$line' offers '$(echo $got)', not '$(echo $want)'"
}

# Every command and long option of every --help page.
for program in "$quelmar" "$fake"; do
  name=$(basename "$program")
  while IFS= read -r command; do
    line="$name${command:+ $command}"
    options=$(help_options "$program" $command | grep -- '^--')
    expect_has "$line --" $options
    subcommands=$(help_subcommands "$program" $command)
    [ -z "$subcommands" ] || expect_has "$line " $subcommands
  done < <(help_commands "$program")
done

# The choices an option's --help line lists: "--state STATE ... (one of: created, started)".
help_choices() {  # OPTION PROGRAM WORDS...
  local option=$1
  shift
  "$@" --help | grep -- "^  $option " | grep -o '(one of: [^)]*)' | sed 's/(one of: //; s/)//' |
    sed 's/, /\n/g'
}
states=$(help_choices --state "$quelmar" fly list)
[ -n "$states" ] || fail "no --state choices in quelmar fly list --help"
expect_exactly "quelmar fly list --state " $states
expect_exactly "quelmar fly --app meters list --state=" $states
expect_exactly "quelmar --log-level " $(help_choices --log-level "$quelmar")
expect_exactly "quelmar fly list --state stop" stopping stopped

# File names after the options that take a file; directories after a replica tree's place.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch fleet.csv fleet.plan notes.txt
mkdir fleets
for line in "quelmar fly plan --inventory fle" "quelmar fly --app meters plan --out fle" \
  "quelmar fly apply --yes --inventory fle" "quelmar fly apply --plan fle" \
  "quelmar fly --ca-file fle" "quelmar fly list --ca-file fle" \
  "quelmar profile-logs missing --expect fle" "quelmar profile-logs compare --prometheus fle" \
  "quelmar fly plan --inventory=fle" "quelmar-fake-fly --tls fle" "quelmar-fake-fly --tls a fle"; do
  expect_exactly "$line" fleet.csv fleet.plan fleets
done
expect_exactly "quelmar profile-logs missing fle" fleets
expect_exactly "quelmar profile-logs compare fleets fle" fleets

# The value of an option is the operator's: no commands, no options.
for line in "quelmar fly --app " "quelmar fly --app=" "quelmar fly list --meter-id " \
  "quelmar fly --dns-server 127.0.0.1:53 --token " "quelmar profile-logs missing --from " \
  "quelmar-fake-fly --port " "quelmar fly start "; do
  expect_exactly "$line"
done

# Options and values do not hide the command: adapter options before and after it.
expect_exactly "quelmar fly --app meters --region iad l" list
expect_has "quelmar fly --app=meters list --json --re" --region
expect_has "quelmar --log-level debug fly --app meters plan --inventory f.csv --" --json --prune
finish
