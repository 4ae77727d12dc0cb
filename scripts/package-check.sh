#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, installs it with dpkg into a
# scratch root, and runs `kestro demo` and the three example hosts from the installed files
# only (tools, library, headers, CMake package, pkg-config file, examples).
# Usage: scripts/package-check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/package-check.sh BUILD_DIR}
src=$PWD

log=$(mktemp)
(cd "$build" && cpack -G DEB) >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
rm -f "$log"
version=$(head -n1 VERSION)
deb="$build/kestro_${version}_$(dpkg --print-architecture).deb"
[[ -f $deb ]] || { echo "package-check: $deb was not made" >&2; exit 1; }
echo "package-check: $deb"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no libc in its package database: its dependencies are the machine's.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; exit 1; }
usr=$root/usr
for f in bin/kestro bin/kestro-sim include/kestro/kestro.h include/kestro/kestro_exports.h \
         lib/libkestro.so.0 lib/pkgconfig/kestro.pc lib/cmake/Kestro/KestroConfig.cmake \
         share/man/man1/kestro.1.gz share/man/man1/kestro-sim.1.gz share/bash-completion/completions/kestro \
         share/doc/kestro/settings.md share/doc/kestro/host-guide.md share/doc/kestro/examples/c-host/host.c; do
  [[ -e $usr/$f || -e $usr/${f%.gz} ]] || { echo "package-check: the package has no /usr/$f" >&2; exit 1; }
done

# Nothing from the build or source tree: no library path, a clean state directory.
export XDG_STATE_HOME=$scratch/state
unset LD_LIBRARY_PATH KESTRO_HOST_DIR
out=$("$usr/bin/kestro" demo)
echo "$out" | grep -q "^library  *$usr/lib/libkestro.so" || { echo "$out"; echo "package-check: not the installed library" >&2; exit 1; }
echo "$out" | grep -q '^tube  *1 "DEMO TUBE 150KV"' || { echo "$out"; exit 1; }
echo "package-check: kestro demo ran from the package"

examples=$scratch/examples
cp -r "$usr/share/doc/kestro/examples" "$examples"
run=(python3 "$src/tests/cli/example_test.py" "$usr/bin/kestro" "$usr/bin/kestro-sim")
cmake -S "$examples/c-host" -B "$examples/c-host/build" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$examples/c-host/build" >/dev/null
"${run[@]}" "$examples/c-host/build/host" >/dev/null
echo "package-check: the C host built with find_package(Kestro) ran"
PKG_CONFIG_PATH=$usr/lib/pkgconfig make -s -C "$examples/c-host" host >/dev/null
"${run[@]}" "$examples/c-host/host" >/dev/null
echo "package-check: the C host built with pkg-config and make ran"
KESTRO_LIBRARY=$usr/lib/libkestro.so.0 "${run[@]}" python3 "$examples/python/host.py" >/dev/null
echo "package-check: the Python host ran"
