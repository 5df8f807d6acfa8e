#!/usr/bin/env bash
# command-lines.sh BIN_DIR DATA_DIR: what each program answers on its command
# line (help, version, unknown arguments) and the replay's closing summary.
# Run as an unprivileged user where it can reach the programs: an agent or
# sweep that failed to refuse an argument must not start real work. (As root,
# in a directory without a list, neither would block anything either.)
set -u
bin=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
as_user=()
if [[ $(id -u) -eq 0 ]]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  "${as_user[@]}" test -x "$bin/src/procblock/procblock" || as_user=()
fi
head -c 100000 /dev/urandom >"$work/random"
: >"$work/empty"
cp "$data/bsm/EACCES_record" "$work/record"
failures=0

# program | arguments | exit status | stream | text it must hold
while IFS='|' read -r program args status stream text; do
  [[ -z $program || $program == \#* ]] && continue
  (cd "$work" && timeout 10 "${as_user[@]}" "$bin/$program" $args >"$work/out" 2>"$work/err")
  got=$?
  if [[ $got -ne $status ]] || ! grep -qF -- "$text" "$work/$stream"; then
    echo "FAIL: $program $args: exit $got (want $status); $stream lacks '$text'"
    sed 's/^/  out: /' "$work/out" | tail -5
    sed 's/^/  err: /' "$work/err" | tail -5
    failures=$((failures + 1))
  fi
done <<'TABLE'
src/procblock/procblock|--help|0|out|usage: procblock
src/procblock/procblock|-h|0|out|kills the process group
src/procblock/procblock|--version|0|out|procblock 
src/procblock/procblock|--bogus|2|err|usage: procblock
src/procblock/procblock|extra|2|err|usage: procblock
src/procblock/procblock|--deny-exec extra|2|err|usage: procblock
tools/procblock-sweep|--help|0|out|usage: procblock-sweep
tools/procblock-sweep|--version|0|out|procblock-sweep 
tools/procblock-sweep|--bogus|2|err|usage: procblock-sweep
tools/procblock-sweep|--explain /bin/sleep|0|out|application identifier: (null)
tools/procblock-sweep|--explain sleep|2|err|an absolute path
tools/procscope-replay|-h|0|out|43190 posix_spawn
tools/procscope-replay|--version|0|out|procscope-replay 
tools/procscope-replay|--bogus|2|err|usage: procscope-replay
tools/procscope-replay|record|0|err|1 records read, 0 processes delivered, 0 malformed records skipped, 0 bytes outside any record
tools/procscope-replay|empty|1|err|0 records read
tools/procscope-replay|random|1|err|100000 bytes outside any record
tools/procscope-replay|.|1|err|cannot read .: Is a directory
tools/procscope-replay|missing|1|err|cannot read missing: No such file or directory
TABLE

# The digest the sweep tool shows is the one sha256sum gives the file.
cp /bin/true "$work/copy"
want=$(sha256sum "$work/copy" | cut -d' ' -f1 | tr a-f A-F)
got=$("${as_user[@]}" "$bin/tools/procblock-sweep" --explain "$work/copy" | sed -n 's/^sha256: //p')
if [[ $got != "$want" ]]; then
  echo "FAIL: procblock-sweep --explain gives sha256 '$got', sha256sum '$want'"
  failures=$((failures + 1))
fi
exit $((failures > 0))
