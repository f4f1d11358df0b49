#!/usr/bin/env bash
# The ways a newcomer runs the project, from a directory outside the clone: scripts/tarnkv (the
# command and the package's Python) and scripts/devroot. Runs on the host, after the build.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/tarnkv-launch.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "launchers: $*" >&2; exit 1; }

cd "$work"
printf '{"id":"a","v":1}\n{"id":"b","v":2}\n' >data.jsonl
"$repo/scripts/tarnkv" build data.jsonl -o out.trnk --key id -q
[ -f "$work/out.trnk" ] || fail "build did not write out.trnk in the directory it was run from"
[ ! -e "$repo/out.trnk" ] || fail "build wrote into the repository"
[ "$("$repo/scripts/tarnkv" get out.trnk b)" = '{"id":"b","v":2}' ] || fail "get printed something else"

mkdir lib && echo 'ANSWER = 42' >lib/mine.py
out=$(PYTHONPATH=$work/lib "$repo/scripts/tarnkv" --python -c \
    'import os, mine, tarnkv; print(mine.ANSWER, len(tarnkv.open("out.trnk")), os.getcwd())')
[ "$out" = "42 2 $work" ] || fail "the package's Python printed '$out'"

[ "$("$repo/scripts/devroot" pwd -P)" = "$(pwd -P)" ] || fail "devroot ran elsewhere than the current directory"
"$repo/scripts/devroot" --help | grep -q 'scripts/devroot CMD' || fail "devroot --help"
echo "launchers: ok (scripts/tarnkv and scripts/devroot from $work)"
