#!/usr/bin/env bash
# The packer's command-line conventions: --help and -h (also after a command) on standard output
# with status 0, --version with the packer's and the stubs' versions, a usage error as one line
# and a pointer to --help on standard error with status 2; and every option the parser accepts
# named in each text made from the option table: the packer's usage, ./veldra's, the
# repository's README and, when given, the distribution's README.
# usage: command_line_conventions_test.sh PACKER REPO_ROOT [DIST_README]
set -uo pipefail
packer="$1" root="$2" dist_readme="${3:-}"
scratch="$(mktemp -d /tmp/veldra-conventions-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0
case_name=command_line_conventions
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"
version="$(head -n1 "$root/VERSION")"

run() {  # ARGS...: the packer's status, its standard output and error in the scratch folder
  status=0
  "$packer" "$@" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
}

# Help: status 0, the usage on standard output, nothing on standard error.
for args in "--help" "-h" "block --help" "pack -h" "pack app -o out.exe --level 3 --help" "inspect --help"; do
  read -r -a words <<<"$args"
  run "${words[@]}"
  command="${words[0]}"
  case "$command" in -*) command="" ;; esac
  [ "$status" -eq 0 ] || fail "'$args': status $status"
  [ ! -s "$scratch/stderr" ] || fail "'$args' wrote to stderr: $(cat "$scratch/stderr")"
  first="$(head -n1 "$scratch/stdout")"
  [ "$first" = "${first#usage: veldra-packer ${command:+$command }}" ] &&
    fail "'$args': the usage starts '$first'"
done
# A command's own usage names its options and no other command's forms.
run inspect --help
! grep -q '^  pack ' "$scratch/stdout" || fail "inspect --help shows pack's forms"
run pack --help
grep -q '^  --template TEXT' "$scratch/stdout" || fail "pack --help lacks --template"

# The version: the packer's, then each stub's as a pack would find it.
run --version
[ "$status" -eq 0 ] && [ ! -s "$scratch/stderr" ] || fail "--version: status $status, $(cat "$scratch/stderr")"
[ "$(head -n1 "$scratch/stdout")" = "veldra-packer $version" ] || fail "--version says '$(head -n1 "$scratch/stdout")'"
for arch in x86 x64; do
  grep -q "^launcher stub $arch: $version, " "$scratch/stdout" || fail "--version lacks the $arch stub: $(cat "$scratch/stdout")"
done

# Usage errors: one line on standard error, with the pointer to --help, status 2, no output.
while IFS='|' read -r args message; do
  read -r -a words <<<"$args"
  run "${words[@]}"
  [ "$status" -eq 2 ] || fail "'$args': status $status, wanted 2"
  [ ! -s "$scratch/stdout" ] || fail "'$args' wrote to stdout"
  [ "$(cat "$scratch/stderr")" = "veldra: $message (--help shows the usage)" ] ||
    fail "'$args': got '$(cat "$scratch/stderr")', wanted 'veldra: $message (--help shows the usage)'"
done <<'CASES'
|no command given
frob|unknown command 'frob'
--frob|give the command first, then --frob
--version 2|--version takes nothing after it
pack app -o out.exe --frob|unknown option --frob
inspect file --level 3|inspect does not take --level
block app --company X -o out|block does not take --company
block app -o|option -o needs a value
block app|no output given (-o FILE)
block one two -o out|give exactly one application folder
inspect|inspect takes exactly one block or executable
extract one|extract takes a block or executable and a folder that does not exist
verify --json file|verify does not take --json
CASES

# ./veldra's own conventions, which need no set-up.
status=0
bash "$root/veldra" --help >"$scratch/veldra-usage" 2>"$scratch/stderr" || status=$?
[ "$status" -eq 0 ] && [ ! -s "$scratch/stderr" ] || fail "./veldra --help: status $status, $(cat "$scratch/stderr")"
status=0
bash "$root/veldra" frob >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
[ "$status" -eq 2 ] && [ ! -s "$scratch/stdout" ] &&
  [ "$(cat "$scratch/stderr")" = "veldra: unknown command 'frob' (--help shows the usage)" ] ||
  fail "./veldra frob: status $status, '$(cat "$scratch/stderr")'"
[ "$(bash "$root/veldra" --version)" = "veldra $version" ] || fail "./veldra --version: $(bash "$root/veldra" --version)"

# Every option the parser accepts, found among the option-like words of the packer's sources:
# accepted by a command when `COMMAND OPTION VALUE --help` reaches the help.
"$packer" --help >"$scratch/packer-usage"
candidates="$(grep -ohE -- '"--?[a-z][a-z0-9-]*"' "$root"/build/packer/*.cpp "$root"/build/packer/options.def | tr -d '"' | sort -u)"
accepted=()
for option in $candidates; do
  for command in block pack inspect; do
    if "$packer" "$command" "$option" value --help >/dev/null 2>&1; then
      accepted+=("$option")
      "$packer" "$command" --help >"$scratch/command-usage"
      grep -qE -- "(^|[^-a-z0-9])$option([^-a-z0-9]|\$)" "$scratch/command-usage" ||
        fail "$option is taken by $command but not in '$command --help'"
    fi
  done
done
[ "${#accepted[@]}" -gt 20 ] || fail "only ${#accepted[@]} options accepted: ${accepted[*]}"
texts=("$scratch/packer-usage" "$scratch/veldra-usage" "$root/README.md")
[ -n "$dist_readme" ] && texts+=("$dist_readme")
for option in $(printf '%s\n' "${accepted[@]}" | sort -u); do
  for text in "${texts[@]}"; do
    grep -qE -- "(^|[^-a-z0-9])$option([^-a-z0-9]|\$)" "$text" || fail "$option is missing from $text"
  done
done
# ./veldra shows the packer's commands and options as the packer does.
sed -n '/^  block /,$p' "$scratch/packer-usage" >"$scratch/packer-part"
sed -n '/^  block /,$p' "$scratch/veldra-usage" >"$scratch/veldra-part"
cmp -s "$scratch/packer-part" "$scratch/veldra-part" ||
  fail "./veldra's usage differs from the packer's: $(diff "$scratch/packer-part" "$scratch/veldra-part" | head -5)"

[ "$failures" -eq 0 ] && echo "command-line conventions: all cases passed"
exit "$failures"
