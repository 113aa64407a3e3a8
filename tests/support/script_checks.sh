# Helpers shared by the test scripts that drive launchers under Wine from the Linux side.
# Sourced; the script sets case_name and failures, and reports failures at its end.

# Wine's loader of the architecture under test, which CTest gives each test in VELDRA_WINE.
wine() { "${VELDRA_WINE:?VELDRA_WINE names the Wine loader of the architecture under test}" "$@"; }

# A Linux path as Wine's Z: drive shows it, and back.
wine_path() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
linux_path() { local p="${1#Z:}"; printf '%s' "${p//\\//}"; }

now() { date +%s.%N; }
elapsed_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
at_least() { awk -v x="$1" -v low="$2" 'BEGIN { exit !(x >= low) }'; }
below() { awk -v x="$1" -v high="$2" 'BEGIN { exit !(x < high) }'; }

wait_for_file() {  # FILE SECONDS: true once FILE exists and is not empty
  local i
  for ((i = 0; i < $2 * 10; ++i)); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }
note() { echo "[$case_name] $*"; }

# interrupted_runs COUNT EXPECTED_STATUS READY_FILE EXE [ARGS...]: COUNT runs of the launcher EXE,
# five at a time, each in a folder of its own ($work/$case_name/N, also its current folder) with a
# temp folder of its own, under the end-to-end runner (run_in_temp of $tests_exe), which records
# its 32-bit status and ignores Ctrl+C itself. Each runs in a process group of its own (the
# script's set -m); once READY_FILE exists in its folder, Ctrl+C goes to that group. Every run
# must end with EXPECTED_STATUS (0x%08x) and leave its temp folder empty. In ARGS, @DIR@ stands
# for the run's folder as Windows sees it. Sets `passed` to the number of runs that did.
interrupted_runs() {
  local count="$1" expected="$2" ready="$3" exe="$4"
  shift 4
  local -a runners
  local batch i dir status left arg
  passed=0
  for ((batch = 0; batch < count; batch += 5)); do
    for ((i = batch; i < batch + 5 && i < count; ++i)); do
      dir="$work/$case_name/$i"
      rm -rf "$dir"
      mkdir -p "$dir/temp"
      cp "$exe" "$dir/run_${case_name}_$i.exe"
      local -a args=()
      for arg in "$@"; do args+=("${arg//@DIR@/$(wine_path "$dir")}"); done
      (cd "$dir" && exec wine "$tests_exe" --veldra-probe run_in_temp "$(wine_path "$dir/status")" \
        "$(wine_path "$dir/temp")" "$(wine_path "$dir/run_${case_name}_$i.exe")" "${args[@]}" >"$dir/output" 2>&1) &
      runners[$i]=$!
    done
    for ((i = batch; i < batch + 5 && i < count; ++i)); do
      wait_for_file "$work/$case_name/$i/$ready" 60 || fail "run $i: never got ready"
    done
    sleep 0.3
    for ((i = batch; i < batch + 5 && i < count; ++i)); do kill -INT -- "-${runners[$i]}" 2>/dev/null; done
    for ((i = batch; i < batch + 5 && i < count; ++i)); do
      wait "${runners[$i]}"
      dir="$work/$case_name/$i"
      status="$(cat "$dir/status" 2>/dev/null)"
      left="$(ls -A "$dir/temp")"
      if [ "$status" = "$expected" ] && [ -z "$left" ]; then
        passed=$((passed + 1))
      else
        fail "run $i: status $status, expected $expected; left in temp: '$left'; $(tr -d '\r' <"$dir/output" | head -n3)"
      fi
    done
  done
  note "$passed of $count runs ended with $expected and left no folder"
}

# in_both NAME STDIN ARGS...: runs a real program natively ($native) and packed ($packed) with
# the same arguments and standard input, each in a folder of its own ($work/native,
# $work/launcher) holding copies of the files in $inputs, and compares status, output and
# errors, line ends normalised.
in_both() {
  local name="$1" input="$2" side status
  shift 2
  case_name="$name"
  for side in native launcher; do
    mkdir -p "$work/$side"
    [ ${#inputs[@]} -gt 0 ] && cp "${inputs[@]}" "$work/$side/"
    status=0
    if [ "$side" = native ]; then
      (cd "$work/$side" && "$native" "$@" <"$input" >"$name.out" 2>"$name.err") || status=$?
    else
      (cd "$work/$side" && wine "$packed" "$@" <"$input" >"$name.out" 2>"$name.err") || status=$?
    fi
    echo "$status" >"$work/$side/$name.status"
    sed -i 's/\r$//' "$work/$side/$name.out" "$work/$side/$name.err"
  done
  local what
  for what in status out err; do
    if ! cmp -s "$work/native/$name.$what" "$work/launcher/$name.$what"; then
      fail "the $what differs from the native program (< native, > launcher):"
      diff "$work/native/$name.$what" "$work/launcher/$name.$what" | head -20 >&2
    fi
  done
}
