#!/usr/bin/env bash
# Checks the bash completion of pushfile-receive as bash-completion runs it: options from --help,
# only directories after -d, the wrapped command and its own completion after "--".
# Usage: completions/check.sh [COMPLETION_FILE]   (default: the one bash-completion finds, as
# installed by the package). pushfile-receive must be on PATH (its --help gives the options).
set -uo pipefail
source /usr/share/bash-completion/bash_completion
if [ $# -gt 0 ]; then
  source "$1"
else
  __load_completion pushfile-receive || { echo "check: bash-completion finds no pushfile-receive completion" >&2; exit 1; }
fi

# compopt works only while bash itself runs a completion.
compopt() { :; }

cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
mkdir saved.d
: >notes.txt

# Prints the candidates for a command line, completing its last word.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#1}
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _pushfile_receive pushfile-receive "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}"
}

failures=0
expect() {  # LINE WANTED [UNWANTED]
  local got
  got=$(complete_line "$1")
  if ! grep -qxF -- "$2" <<<"$got" || { [ $# -gt 2 ] && grep -qxF -- "$3" <<<"$got"; }; then
    echo "check: completing '$1' gave [$(tr '\n' ' ' <<<"$got")], wanted '$2'${3:+ without '$3'}" >&2
    failures=$((failures + 1))
  fi
}

expect "pushfile-receive --ver" --version
expect "pushfile-receive --dir" --directory
expect "pushfile-receive --no-n" --no-notify
expect "pushfile-receive -d " saved.d notes.txt
expect "pushfile-receive --directory=" saved.d notes.txt
expect "pushfile-receive -q -- ech" echo
expect "pushfile-receive -d saved.d ech" echo
expect "pushfile-receive -- ls --al" --all
expect "pushfile-receive -a -- cat no" notes.txt
expect "pushfile-receive --wh" --where
expect "pushfile-receive --fl" --flat

echo "check: bash completion of pushfile-receive: $((11 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
