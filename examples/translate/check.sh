#!/usr/bin/env bash
# Builds this example with GNU make and with ninja, and checks that an
# error in an include is reported at the include's line, not the flat
# file's, and that the build fails with it:
#   - the clean tree builds;
#   - a bad line in lib/macros.inc gives "lib/macros.inc(N) : error ..."
#     and a failed build, which the next build tries again.
#
# Usage: examples/translate/check.sh path/to/tarvel
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tarvel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -x "$tarvel" ] || { echo "no tarvel at $1" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$tarvel" "$scratch/bin/tarvel"
export PATH="$scratch/bin:$PATH"

fail() {
  echo "check.sh ($tool): $*" >&2
  exit 1
}

for tool in make ninja; do
  src=$scratch/$tool
  cp -R "$here" "$src"
  run() { if [ $tool = make ]; then make -s -C "$src"; else ninja -C "$src"; fi; }

  run >"$scratch/log" 2>&1 || fail "the clean tree does not build: $(cat "$scratch/log")"
  [ -e "$src/main.obj" ] || fail "no main.obj"

  # A bad line in the include: line 6 of lib/macros.inc.
  sed -i '6s/^/\tbogus\n/' "$src/lib/macros.inc"
  bad_line=$(grep -n bogus "$src/lib/macros.inc" | cut -d: -f1)
  status=0
  run >"$scratch/log" 2>&1 || status=$?
  [ $status != 0 ] || fail "the build with an error in an include succeeded"
  grep -q "^lib/macros.inc($bad_line) : error A2008: syntax error : bogus" "$scratch/log" ||
    fail "the message does not name the include's line: $(cat "$scratch/log")"
  ! grep -q "main.flat(" "$scratch/log" || fail "a message still names main.flat"

  # The next build tries again, and fails again.
  run >"$scratch/log" 2>&1 && fail "the second build with the error succeeded"
  echo "examples/translate: $tool reports lib/macros.inc($bad_line) and fails"
done
