#!/usr/bin/env bash
# Checks the bash completions of pushfile-receive and pullfile as bash-completion runs them:
# options (pushfile-receive's from its --help), only directories after -d, and for pushfile-receive
# the wrapped command and its own completion after "--".
# Usage: completions/check.sh [RECEIVE_COMPLETION PULLFILE_COMPLETION]   (default: the ones
# bash-completion finds, as installed by the packages). pushfile-receive and pullfile must be on
# PATH (pushfile-receive's --help gives its options; pullfile's is checked against its completion).
set -uo pipefail
source /usr/share/bash-completion/bash_completion
if [ $# -gt 0 ]; then
  source "$1"
  source "$2"
else
  for program in pushfile-receive pullfile; do
    __load_completion "$program" || { echo "check: bash-completion finds no $program completion" >&2; exit 1; }
  done
fi

# compopt works only while bash itself runs a completion.
compopt() { :; }

cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir saved.d
: >notes.txt

# Prints the candidates for a command line, completing its last word with the function that
# `complete` names for the line's first word.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#1}
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  local function
  function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}"
}

checks=0
failures=0
fail() {
  echo "check: $*" >&2
  failures=$((failures + 1))
}
expect() {  # LINE WANTED [UNWANTED]
  local got
  checks=$((checks + 1))
  got=$(complete_line "$1")
  if ! grep -qxF -- "$2" <<<"$got" || { [ $# -gt 2 ] && grep -qxF -- "$3" <<<"$got"; }; then
    fail "completing '$1' gave [$(tr '\n' ' ' <<<"$got")], wanted '$2'${3:+ without '$3'}"
  fi
}

expect "pushfile-receive --ver" --version
expect "pushfile-receive --dir" --directory
expect "pushfile-receive --no-n" --no-notify
expect "pushfile-receive --no-u" --no-upload
expect "pushfile-receive -d " saved.d notes.txt
expect "pushfile-receive --directory=" saved.d notes.txt
expect "pushfile-receive -q -- ech" echo
expect "pushfile-receive -d saved.d ech" echo
expect "pushfile-receive -- ls --al" --all
expect "pushfile-receive -a -- cat no" notes.txt
expect "pushfile-receive --wh" --where
expect "pushfile-receive --fl" --flat

expect "pullfile --v" --version
expect "pullfile -" --help
expect "pullfile -d " saved.d notes.txt
expect "pullfile --directory=" saved.d notes.txt

# pullfile's completion lists its options itself: each long option its --help names must be there.
offered=$(complete_line "pullfile --")
named=$(pullfile --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$named" ] || fail "pullfile --help names no long option"
for option in $named; do
  checks=$((checks + 1))
  grep -qxE -- "$option=?" <<<"$offered" || fail "pullfile --help names $option, its completion does not offer it"
done

echo "check: bash completions of pushfile-receive and pullfile: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
