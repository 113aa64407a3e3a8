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
