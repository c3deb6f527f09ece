#!/usr/bin/env bash
# Builds this example with GNU make, with ninja and with CMake (Ninja
# generator), as README.md shows, and checks that each build tool can trust
# tarvel as a build step:
#   - the first build flattens, a second one does nothing;
#   - touching an include redoes exactly the flattening that read it;
#   - deleting an include that is no longer used does not break the build;
#   - names with a space, "#", "$", ":", a byte that is not UTF-8 and the
#     other signs make and ninja read as they are work as dependencies; a
#     name one of them would read as another fails the build instead;
#   - an include found through a zebinc that ends in "/" is a dependency
#     under the name a rule that makes it has;
#   - a tree that lacks an include fails the build, leaves no target (nor a
#     temporary file) behind, and the next build tries again.
# Also checks that the Makefile, build.ninja and CMakeLists.txt here are
# the ones README.md shows.
#
# Usage: examples/incremental/check.sh path/to/tarvel
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tarvel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -x "$tarvel" ] || { echo "no tarvel at $1" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The build files call the command by its name.
mkdir "$scratch/bin"
ln -s "$tarvel" "$scratch/bin/tarvel"
export PATH="$scratch/bin:$PATH"

fail() {
  echo "check.sh ($tool): $*" >&2
  exit 1
}

# The README's snippets are these files, byte for byte.
for pair in "make Makefile" "ninja build.ninja" "cmake CMakeLists.txt"; do
  set -- $pair
  awk -v fence="\`\`\`$1" '$0 == fence { inside = 1; next } inside && /^```$/ { exit } inside' \
    "$here/../../README.md" >"$scratch/snippet"
  cmp -s "$scratch/snippet" "$here/$2" || { tool=$1; fail "README.md does not show $2 as it is"; }
done

# ---- One build tool, given as: build, up-to-date test, build directory ----

build() {
  case $tool in
    make) make -s -C "$src" ;;
    ninja) ninja -C "$src" ;;
    cmake) cmake --build "$out" ;;
  esac
}

up_to_date() {
  case $tool in
    make) make -q -C "$src" ;;
    ninja | cmake) ninja -C "$out" -n | grep -q '^ninja: no work to do\.$' ;;
  esac
}

# A flattened file's inode: a new one each time the file is replaced.
inode() { stat -c %i "$out/$1.flat"; }

expect_built() {  # which of main and other the last build redid: yes/no each
  local main other
  main=$(inode main) other=$(inode other)
  [ "$([ "$main" != "$main_was" ] && echo yes || echo no)" = "$1" ] ||
    fail "$3: main.flat redone: expected $1"
  [ "$([ "$other" != "$other_was" ] && echo yes || echo no)" = "$2" ] ||
    fail "$3: other.flat redone: expected $2"
  main_was=$main other_was=$other
  up_to_date || fail "$3: a second build would do more"
}

no_temporaries() {
  if find "$src" "$out" -name '.tarvel-*' | grep -q .; then fail "$1: a temporary file is left"; fi
}

fresh_copy() {
  rm -rf "$scratch/src" "$scratch/out"
  mkdir "$scratch/src"
  cp -R "$here/." "$scratch/src/"
  src=$scratch/src
  out=$src
  if [ "$tool" = cmake ]; then
    out=$scratch/out
    cmake -S "$src" -B "$out" -G Ninja >/dev/null
  fi
}

check_tool() {
  tool=$1
  fresh_copy

  build >/dev/null || fail "the first build failed"
  for program in main other; do
    [ -s "$out/$program.flat" ] || fail "no $program.flat"
    if grep -q 'Could not open' "$out/$program.flat"; then fail "$program.flat lacks a file"; fi
  done
  main_was=$(inode main) other_was=$(inode other)
  up_to_date || fail "a second build would do more"

  touch "$src/lib/console.inc"
  build >/dev/null
  expect_built yes no "touching lib/console.inc"
  touch "$src/macros.inc"
  build >/dev/null
  expect_built no yes "touching macros.inc"
  touch "$src/defs.inc"
  build >/dev/null
  expect_built yes yes "touching defs.inc"

  # An include no longer used, then deleted.
  sed -i '/console\.inc/d' "$src/main.asm"
  rm "$src/lib/console.inc"
  build >/dev/null || fail "deleting an include no longer used broke the build"
  expect_built yes no "deleting lib/console.inc"

  # Names that make and ninja read only escaped ("\ ", "\#", "$$", "\:",
  # also right before an escaped blank), and signs both read as they are
  # ("~" but at the start, "[" with no "]" after it).  CMake (3.25)
  # rewrites the dependency file for ninja and drops the escapes of "#"
  # and "$" as it does: only the space is tried through it.
  odd_names=('odd #1 $name.inc' 'c:ol.inc' 'odd: x.inc' $'caf\xe9.inc' ']x[~(1){a,b}!@+,.inc')
  [ "$tool" != cmake ] || odd_names=('odd name.inc')
  for odd in "${odd_names[@]}"; do
    echo '; odd' >"$src/$odd"
    echo "include $odd" >>"$src/other.asm"
    build >/dev/null || fail "including '$odd' broke the build"
    expect_built no yes "including '$odd'"
    grep -q '^; odd' "$out/other.flat" || fail "'$odd' is not in other.flat"
    touch "$src/$odd"
    build >/dev/null
    expect_built no yes "touching '$odd'"
    sed -i '$d' "$src/other.asm"
    rm "$src/$odd"
    build >/dev/null || fail "deleting '$odd' broke the build"
    expect_built no yes "deleting '$odd'"
  done

  # A name one of them would read as another (ninja ends a name at ";"):
  # the build fails and says so, rather than leave a rule that misleads.
  echo '; odd' >"$src/semi;c.inc"
  echo 'include semi;c.inc' >>"$src/other.asm"
  if build >"$scratch/log" 2>&1; then fail "a build that includes 'semi;c.inc' succeeded"; fi
  grep -qF "semi;c.inc'" "$scratch/log" || fail "the build does not say why 'semi;c.inc' failed"
  sed -i '$d' "$src/other.asm"
  rm "$src/semi;c.inc"
  build >/dev/null || fail "the build after 'semi;c.inc' failed"
  expect_built no yes "dropping 'semi;c.inc'"

  # A tree that lacks an include: the build fails and the target stays as
  # it was, older than its source, so the next build tries again.
  cp "$out/other.flat" "$scratch/other.before"
  echo 'include missing.inc' >>"$src/other.asm"
  if build >"$scratch/log" 2>&1; then fail "a build that lacks an include succeeded"; fi
  grep -q "cannot open 'missing\.inc'" "$scratch/log" || fail "the failed build does not say why"
  cmp -s "$out/other.flat" "$scratch/other.before" || fail "a failed build changed other.flat"
  no_temporaries "a failed build"
  if up_to_date; then fail "after a failed build, nothing is left to do"; fi
  echo '; found' >"$src/missing.inc"
  build >/dev/null || fail "the build after a failed one failed"
  grep -q '^; found' "$out/other.flat" || fail "the build after a failed one did not redo other.flat"
  up_to_date || fail "a second build would do more"

  # The same from scratch: no target at all is left.
  fresh_copy
  echo 'include missing.inc' >>"$src/other.asm"
  if build >/dev/null 2>&1; then fail "a first build that lacks an include succeeded"; fi
  [ ! -e "$out/other.flat" ] || fail "a failed first build left other.flat"
  no_temporaries "a failed first build"
  if build >"$scratch/log" 2>&1; then fail "the second try succeeded"; fi
  grep -q "cannot open 'missing\.inc'" "$scratch/log" || fail "the second try did not run"

  # zebinc ending in "/": macros.inc, found only through it, is listed as
  # inc/macros.inc, the name of the rule that makes it here, so that
  # changing what it is made from redoes other.flat.
  if [ "$tool" != cmake ]; then
    fresh_copy
    mv "$src/macros.inc" "$src/macros.src"
    mkdir "$src/inc"
    cp "$src/macros.src" "$src/inc/macros.inc"
    if [ "$tool" = make ]; then
      sed -i 's|^export zebinc := \.$|export zebinc := inc/|' "$src/Makefile"
      printf 'inc/macros.inc: macros.src\n\tcp macros.src $@\n' >>"$src/Makefile"
    else
      sed -i 's|zebinc=\. |zebinc=inc/ |' "$src/build.ninja"
      printf 'rule copy\n  command = cp $in $out\nbuild inc/macros.inc: copy macros.src\n' \
        >>"$src/build.ninja"
    fi
    grep -q 'zebinc := inc/$\|zebinc=inc/ ' "$src/Makefile" "$src/build.ninja" ||
      fail "zebinc could not be set to inc/"
    # The first build learns what other.flat reads; ninja may make
    # inc/macros.inc after it, which a second build then catches up on.
    build >/dev/null || fail "the build with zebinc=inc/ failed"
    build >/dev/null
    main_was=$(inode main) other_was=$(inode other)
    up_to_date || fail "with zebinc=inc/, a second build would do more"
    touch "$src/macros.src"
    build >/dev/null
    expect_built no yes "remaking inc/macros.inc, found through zebinc=inc/"
  fi

  # Stopped in the middle (a timeout, a cancelled job): SIGTERM reaches
  # tarvel while it waits for an include that is a FIFO nobody writes, and
  # leaves neither a temporary nor a new target.
  if [ "$tool" != cmake ]; then
    cp "$out/other.flat" "$scratch/other.before"
    mkfifo "$src/stuck.inc"
    echo 'include stuck.inc' >>"$src/other.asm"
    if timeout -s TERM 2 bash -c "$(declare -f build); tool=$tool src='$src' out='$out' build" \
      >/dev/null 2>&1; then
      fail "a build stopped by SIGTERM succeeded"
    fi
    sleep 0.2  # the jobs' own ends
    no_temporaries "a build stopped by SIGTERM"
    # ninja removes the target of a stopped command that has a dependency
    # file; what is there must be the old one.
    if [ -e "$out/other.flat" ] && ! cmp -s "$out/other.flat" "$scratch/other.before"; then
      fail "SIGTERM left a new other.flat"
    fi
    sed -i '$d' "$src/other.asm"
    rm "$src/stuck.inc"
  fi

  echo "check.sh: $tool builds trust tarvel"
}

# A build directory apart from the sources: tarvel runs where make and
# ninja run, finds the includes with -I, and names them from there, so
# that a touched include redoes the flattening.  A stamp rule names its own
# target in the dependency file with --depfile-target.
check_apart() {
  tool=$1
  rm -rf "$scratch/apart"
  mkdir -p "$scratch/apart/src" "$scratch/apart/build"
  cp -R "$here/." "$scratch/apart/src/"
  local build=$scratch/apart/build
  if [ "$tool" = make ]; then
    cat >"$build/Makefile" <<'MAKE'
export zebinc := nowhere
all: flat/main.flat checked.stamp
flat/main.flat: ../src/main.asm
	mkdir -p flat && tarvel -I ../src -o $@ --depfile=$@.d ../src/main.asm
checked.stamp: ../src/other.asm
	tarvel -I ../src --depfile=$@.d --depfile-target=$@ ../src/other.asm >/dev/null && touch $@
-include flat/main.flat.d checked.stamp.d
MAKE
  else
    cat >"$build/build.ninja" <<'NINJA'
rule flatten
  command = mkdir -p flat && zebinc=nowhere tarvel -I ../src -o $out --depfile=$out.d $in
  deps = gcc
  depfile = $out.d
rule check
  command = zebinc=nowhere tarvel -I ../src --depfile=$out.d --depfile-target=$out $in >/dev/null && touch $out
  deps = gcc
  depfile = $out.d
build flat/main.flat: flatten ../src/main.asm
build checked.stamp: check ../src/other.asm
NINJA
  fi
  run_apart() { if [ "$tool" = make ]; then make -s -C "$build"; else ninja -C "$build" >/dev/null; fi; }
  apart_up_to_date() {
    if [ "$tool" = make ]; then make -q -C "$build"; else ninja -C "$build" -n | grep -q '^ninja: no work to do\.$'; fi
  }
  run_apart || fail "the build apart from the sources failed"
  if grep -q 'Could not open' "$build/flat/main.flat"; then fail "main.flat lacks a file"; fi
  run_apart
  apart_up_to_date || fail "apart from the sources, a second build would do more"
  local flat_was stamp_was
  flat_was=$(stat -c %i "$build/flat/main.flat")
  stamp_was=$(stat -c %Y.%y "$build/checked.stamp")
  sleep 1
  touch "$scratch/apart/src/lib/console.inc"
  run_apart
  [ "$(stat -c %i "$build/flat/main.flat")" != "$flat_was" ] ||
    fail "touching ../src/lib/console.inc did not redo flat/main.flat"
  touch "$scratch/apart/src/macros.inc"
  run_apart
  [ "$(stat -c %Y.%y "$build/checked.stamp")" != "$stamp_was" ] ||
    fail "touching ../src/macros.inc did not redo checked.stamp"
  apart_up_to_date || fail "apart from the sources, a build after touching would do more"
  echo "check.sh: $tool builds apart from the sources trust tarvel"
}

check_tool make
check_tool ninja
check_tool cmake
check_apart make
check_apart ninja
