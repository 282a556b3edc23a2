#!/usr/bin/env bash
# Prepares Boost for the MinGW build in the given folder (made once, reused while this script
# and the installed Boost stay unchanged):
#   <folder>/include/boost                 a symlink to the host's Boost headers, which serve
#                                          MinGW as they stand (header-only libraries)
#   <folder>/program_options/src/*.cpp     Program_options' sources from Debian's own source
#                                          package of the installed Boost version, which the
#                                          Windows build compiles as a library of its own
# Debian's source list gets a deb-src twin when it has none.
#   usage: scripts/boost-mingw.sh <folder>
set -euo pipefail

dest=${1:?usage: scripts/boost-mingw.sh <folder>}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

source_package=$(dpkg-query -W -f='${source:Package}' libboost1.74-dev)
version=$(dpkg-query -W -f='${source:Version}' libboost1.74-dev)
stamp="$dest/boost.stamp"
want="$source_package $version $(cksum < "$0" | cut -d' ' -f1)"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then
  exit 0
fi
rm -rf "$dest/include" "$dest/program_options" "$stamp"

if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi

# The source package comes from the same Debian archive as the binary packages: mirror the
# deb822 source list with Types: deb-src when no source entry exists yet.
if ! apt-cache showsrc "$source_package" 2>/dev/null | grep -q "^Package: $source_package\$"; then
  list=/etc/apt/sources.list.d/debian.sources
  [[ -f "$list" ]] || { echo "no $list to mirror for Debian's source packages" >&2; exit 1; }
  sed 's/^Types:.*/Types: deb-src/' "$list" | $sudo tee /etc/apt/sources.list.d/debian-src.sources > /dev/null
  $sudo apt-get update -q > /dev/null
fi

download="$dest/download"
mkdir -p "$download"
if ! ls "$download"/"${source_package}"_*.orig.tar.* > /dev/null 2>&1; then
  echo "fetching the $source_package $version source package ..."
  (cd "$download" && apt-get source -q --download-only "$source_package=$version" > /dev/null)
fi

# Only Program_options' compiled part is needed; its headers are among the installed ones.
work="$dest/unpack"
rm -rf "$work"
mkdir -p "$work"
tar --no-same-owner -xf "$download"/"${source_package}"_*.orig.tar.* -C "$work" --wildcards '*/libs/program_options/src/*'
mkdir -p "$dest/program_options"
mv "$work"/*/libs/program_options/src "$dest/program_options/src"
rm -rf "$work"

mkdir -p "$dest/include"
ln -s /usr/include/boost "$dest/include/boost"
echo "$want" > "$stamp"
