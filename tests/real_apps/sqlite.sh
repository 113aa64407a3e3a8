#!/usr/bin/env bash
# The SQLite shell, packed as a one-file launcher, against Debian's native sqlite3 of the same
# version: the same script and arguments in folders of their own give the same output, errors
# and status (line ends normalised), a dump made through the launcher reloads into the same
# values, and Ctrl+C during a long query ends the launcher with the shell's own status, 9
# (SQLITE_INTERRUPT), leaving no folder, in every one of 20 runs.
#
# usage: sqlite.sh PACKER APP_DIR E2E_TESTS_EXE WORK_DIR
set -uo pipefail
set -m
packer="$1" app="$2" tests_exe="$3" work="$4"
native=/usr/bin/sqlite3
failures=0
case_name=pack

source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

rm -rf "$work"
mkdir -p "$work"
packed="$work/sqlite.exe"
"$packer" pack "$app" -o "$packed" --main main.dll >/dev/null || { echo "could not pack $app" >&2; exit 1; }

# The inputs both shells get: a CSV file to import and a script that prints REAL values in
# several forms, JSON, non-ASCII text, a failing statement, writes a dump and ends with .exit 7.
printf 'name,city,score\nAnna,Zürich,3.25\n"Bo, Jr.",Köln,-0.1\nČeněk,"New ""York""",1e-7\n' >"$work/people.csv"
cat >"$work/script.sql" <<'SQL'
create table prices(id integer primary key, name text, price real, ratio real);
with recursive n(i) as (select 1 union all select i + 1 from n where i < 500)
  insert into prices select i, 'item ' || i, i * 1.37 + i / 7.0, exp(i / 50.0) / 3 from n;
select exp(1), 1.0 / 3, 0.1 + 0.2, 2.0 / 3 * 1e300, pi(), 1e-300 / 7;
select sum(price), avg(ratio), total(ratio * price) from prices;
.import --csv people.csv people
select * from people;
select name, score * 3, length(city) from people order by score;
.mode json
select * from prices where id % 37 = 0;
.mode list
select 'ü ☃ 😀', length('ü ☃ 😀'), upper('straße');
select * from nowhere;
select 'after the failure';
.output dump.sql
.dump
.output stdout
select count(*) from prices;
.exit 7
SQL

inputs=("$work/people.csv")
in_both script "$work/script.sql" data.db
[ "$(cat "$work/native/script.status")" = 7 ] || fail "native status $(cat "$work/native/script.status"), expected 7"
grep -q '^2.71828182845905|' "$work/launcher/script.out" || fail "exp(1) printed as: $(head -n1 "$work/launcher/script.out")"
sed -i 's/\r$//' "$work/launcher/dump.sql"
cmp -s "$work/native/dump.sql" "$work/launcher/dump.sql" || fail "the dumps differ: $(diff "$work/native/dump.sql" "$work/launcher/dump.sql" | grep -c '^>') lines"

in_both arguments /dev/null -json :memory: \
  "select 'with space' as \"a b\", 'ü ☃ 😀' as snow, exp(1) as e, 1.0 / 7 as seventh, 'C:\\dir\\' as path" \
  "select 1 as one" ""
in_both failing /dev/null -bail :memory: "select 1" "select * from nowhere" "select 2"

# The dump made through the launcher, reloaded through it: every value as stored at first.
case_name=reload
status=0
(cd "$work/launcher" && wine "$work/sqlite.exe" reload.db <dump.sql >reload.out 2>&1) || status=$?
[ "$status" = 0 ] || fail "reloading the dump: status $status; $(cat "$work/launcher/reload.out")"
changed="$("$native" "$work/launcher/reload.db" "attach '$work/launcher/data.db' as first;
  select count(*) from prices p join first.prices f using (id)
    where p.price is not f.price or p.ratio is not f.ratio or p.name is not f.name;
  select count(*) from prices;" 2>&1 | tr '\n' ' ')"
[ "$changed" = "0 500 " ] || fail "values changed by the reload (changed, rows): $changed"

# Ctrl+C during a long query, in 20 of 20 runs: the shell interrupts the query and returns 9
# (SQLITE_INTERRUPT) within the launcher's grace, so the launcher ends with 9, its folder gone.
# The first statement makes long.db: once it exists the shell has registered its handler, and
# the endless count runs.
case_name=ctrl_c
interrupted_runs 20 0x00000009 long.db "$work/sqlite.exe" long.db "create table t(x)" \
  'with recursive c(x) as (select 1 union all select x + 1 from c) select count(*) from c'

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the packed SQLite shell matches native sqlite3"
