#!/bin/bash
# The systemd units of contrib/: `systemd-analyze verify` finds nothing to
# say of them (any warning fails), the timer's calendar parses, and the
# service's command, run as systemd would run it (its "$$" and "%%" as "$"
# and "%", its environment set to a sample), writes the day's dumps into the
# gathering folder.
#
#   contrib_units.sh TZRECON CONTRIB_DIR
#
# Exits 77 (skipped) only when systemd-analyze cannot verify even a unit
# known to be good here, as where no systemd can run at all; it says why.
set -euo pipefail
tz=$(realpath "${1:?usage: contrib_units.sh TZRECON CONTRIB_DIR}")
contrib=$(realpath "${2:?usage: contrib_units.sh TZRECON CONTRIB_DIR}")
fail() { echo "contrib_units.sh: $*" >&2; exit 1; }
command -v systemd-analyze > /dev/null || fail "systemd-analyze is missing: run scripts/install-deps.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tzrecon-units.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# A unit that is good anywhere systemd-analyze can work.
printf '[Unit]\nDescription=probe\n[Service]\nType=oneshot\nExecStart=/bin/true\n' > probe.service
if ! systemd-analyze verify --man=no "$work/probe.service" > probe.out 2>&1 || [ -s probe.out ]; then
  echo "contrib_units.sh: skipped: systemd-analyze cannot verify a good unit here:" >&2
  cat probe.out >&2
  exit 77
fi

# Verified together, as the timer names the service.
cp "$contrib/tzrecon-dump.service" "$contrib/tzrecon-dump.timer" .
systemd-analyze verify --man=no "$work/tzrecon-dump.service" "$work/tzrecon-dump.timer" > verify.out 2>&1 ||
  { cat verify.out >&2; fail "systemd-analyze verify failed"; }
[ ! -s verify.out ] || { cat verify.out >&2; fail "systemd-analyze verify has warnings"; }
calendar=$(sed -n 's/^OnCalendar=//p' tzrecon-dump.timer)
systemd-analyze calendar "$calendar" > /dev/null || fail "OnCalendar=$calendar does not parse"
grep -qx 'WantedBy=timers.target' tzrecon-dump.timer || fail "the timer is not wanted by timers.target"

# The command: /bin/sh -c 'SCRIPT', unescaped as systemd does.
exec_start=$(sed -n 's/^ExecStart=//p' tzrecon-dump.service)
case "$exec_start" in
  "/bin/sh -c '"*"'") ;;
  *) fail "ExecStart is not /bin/sh -c '...': $exec_start" ;;
esac
script=${exec_start#"/bin/sh -c '"}
script=${script%"'"}
script=${script//\$\$/\$}
script=${script//%%/%}
# Every variable it reads is set by the unit.
for v in $(grep -o '\${[A-Z_]*' <<< "$script" | tr -d '${' | sort -u); do
  [ "$v" = TZRECON_DUMP_OPTIONS ] && continue
  grep -q "^Environment=$v=" tzrecon-dump.service || fail "ExecStart reads $v, which the unit does not set"
done

"$tz" sample lib --volumes 2 --chunks-per-volume 10 --copy-id 3 --config-out registry.json > /dev/null
day_before=$(date -u +%Y-%m-%d)
env -i PATH=/usr/bin:/bin TZRECON="$tz" TZRECON_CONFIG="$work/registry.json" TZRECON_COPY_ID=3 \
  TZRECON_GATHER="$work/gather" TZRECON_LOG="$work/tzrecon.log" TZRECON_DUMP_OPTIONS="--jobs 1 --quiet" \
  /bin/sh -c "$script" > run.out 2>&1 || { cat run.out >&2; fail "the service's command failed"; }
day_after=$(date -u +%Y-%m-%d)
dumps=$(ls gather/"$day_before"/ChunkLister_3_1_*.csv gather/"$day_after"/ChunkLister_3_1_*.csv 2> /dev/null | sort -u)
[ "$(wc -l <<< "$dumps")" -eq 1 ] && [ -n "$dumps" ] || { ls -R gather >&2; fail "no dump in the day's folder"; }
[ -f "$dumps.json" ] || fail "no record beside $dumps"
grep -q "/${dumps##*/}\$" run.out || { cat run.out >&2; fail "--quiet did not print the dump"; }
[ "$(tail -n +2 "$dumps" | wc -l)" -eq 20 ] || fail "the dump does not hold 20 rows"
[ -f tzrecon.log ] || fail "the log is not where TZRECON_LOG says"
echo "contrib_units.sh: the units verify and their command dumps"
