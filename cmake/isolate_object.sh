#!/bin/sh
# isolate_object.sh NM OBJCOPY IN.o OUT.o PREFIX
# Renames every symbol that IN.o defines (global, weak or unique), except the
# entry points whose names start with PREFIX, so that the object's copies of
# shared inline and template functions, compiled for another instruction set,
# are never merged with or bound in place of the baseline copies elsewhere.
# References inside IN.o follow the rename.
set -eu
nm=$1 objcopy=$2 in=$3 out=$4 prefix=$5
map=$out.syms
"$nm" --defined-only -g "$in" | awk -v p="$prefix" 'NF >= 3 && index($3, p) != 1 { print $3 " __tfs_isolated_" $3 }' >"$map"
"$objcopy" --redefine-syms="$map" "$in" "$out"
left=$("$nm" --defined-only -g "$out" | awk -v p="$prefix" 'NF >= 3 && index($3, p) != 1 && index($3, "__tfs_isolated_") != 1')
if [ -n "$left" ]; then
  echo "isolate_object.sh: left with their names: $left" >&2
  exit 1
fi
