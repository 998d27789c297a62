#!/usr/bin/env bash
# Installs the Debian packages that building and testing the driver need, for
# Linux and for the Windows target (the MinGW-w64 cross compiler with POSIX
# threads, zlib for it, and Wine to run what is built), and unpacks Debian's
# source package of pugixml into build/deps/, where the Windows build compiles
# it. Idempotent: does nothing when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libpugixml-dev libasio-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tzdata clang-format libxml2-utils
  clang libclang-rt-14-dev
  prometheus-cpp-dev prometheus lintian systemd dpkg-dev fakeroot
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 googletest
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
apt_get() {
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@"
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_get update -q
  apt_get install -y -q --no-install-recommends "${missing[@]}"
fi

# pugixml for the Windows target comes from Debian's own source package, so
# apt needs source entries for the archives the machine already uses: one
# "deb-src" twin of every "deb" entry, whatever its host, written once (the
# deb822 ".sources" stanzas and the one-line entries each in a file of their
# own format).
pugixml_dir=build/deps/pugixml
if [ ! -f "$pugixml_dir/src/pugixml.cpp" ]; then
  twins=/etc/apt/sources.list.d/vd-deb-src
  if ! apt-get source --print-uris -q pugixml >/dev/null 2>&1; then
    if [ ! -f "$twins.sources" ] && [ ! -f "$twins.list" ]; then
      stanzas=$(
        for f in /etc/apt/sources.list.d/*.sources; do
          [ -f "$f" ] && grep -qE '^Types:(.*[[:space:]])?deb([[:space:]]|$)' "$f" &&
            sed -e 's/^Types:.*/Types: deb-src/' "$f" && echo
        done 2>/dev/null || true
      )
      lines=$(
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
          sed -n -e 's/^[[:space:]]*deb[[:space:]]/deb-src /p' || true
      )
      if [ -z "$stanzas" ] && [ -z "$lines" ]; then
        echo "setup: no \"deb\" entry in the apt sources to add source entries for" >&2
        exit 1
      fi
      [ -z "$stanzas" ] || echo "$stanzas" | "${sudo_cmd[@]}" tee "$twins.sources" >/dev/null
      [ -z "$lines" ] || echo "$lines" | "${sudo_cmd[@]}" tee "$twins.list" >/dev/null
    fi
    apt_get update -q
  fi
  rm -rf "$pugixml_dir" build/deps/pugixml-src
  mkdir -p build/deps/pugixml-src
  (cd build/deps/pugixml-src && apt-get source -q pugixml)
  source_tree=$(find build/deps/pugixml-src -mindepth 1 -maxdepth 1 -type d -name 'pugixml-*' | head -n 1)
  if [ -z "$source_tree" ]; then
    echo "setup: apt-get source pugixml gave no source tree" >&2
    exit 1
  fi
  mv "$source_tree" "$pugixml_dir"
  rm -rf build/deps/pugixml-src
fi
