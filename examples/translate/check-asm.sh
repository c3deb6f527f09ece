#!/bin/sh
# A stand-in for an assembler, so that the example runs anywhere: it reads
# SOURCE, reports every line whose first word is not one it knows in the
# form Windows assemblers print, "SOURCE(LINE) : error A2008: syntax error
# : WORD", and exits 1 if it reported any; otherwise it writes OBJECT.
#
# Usage: check-asm.sh SOURCE OBJECT
awk -v source="$1" '
  BEGIN { split(".code .data end start: greeting Say macro invoke endm", known, " ")
          for (i in known) ok[known[i]] = 1 }
  { sub(/\r$/, ""); sub(/;.*/, "") }
  NF && !($1 in ok) {
    printf "%s(%d) : error A2008: syntax error : %s\n", source, NR, $1; bad = 1 }
  END { exit bad }' "$1" || exit 1
: >"$2"
