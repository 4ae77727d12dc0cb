#!/usr/bin/env bash
# Installs what building, testing and running Kestro needs on Debian. Installs only what
# is missing, so a second run is quick. Usage: scripts/install-deps.sh [--no-windows]
#
# For the Windows tests it also installs qemu-user (8.1 or later) from the backports suite
# of this machine's own Debian sources and, on a kernel that cannot run 32-bit x86
# programs, registers i386 ELF with binfmt_misc (scripts/binfmt-i386.sh): the 32-bit
# Wine loader then runs under qemu.
set -euo pipefail

windows=1
[[ "${1:-}" == "--no-windows" ]] && windows=0

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev libedit-dev dpkg-dev file python3
          socat clang libclang-rt-14-dev)
# The CAN interoperability test: a third-party socketcand client for the system's python3.
packages+=(python3 python3-can)
if [[ $windows -eq 1 ]]; then
  packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64)
fi

need_update=0
if [[ $windows -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [[ $need_update -eq 1 ]]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi

# qemu-user from <release>-backports. The suite entry is derived from the machine's own
# apt configuration (the entry that carries the release itself), so no mirror is named here.
backports_entry() {
    local codename=$1 suite="$1-backports" f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] || continue
        awk -v cn="$codename" -v suite="$suite" '
            BEGIN { RS = ""; FS = "\n" }
            {
                keep = ""; deb = 0; release = 0; security = 0; enabled = 1
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^[ \t]*#/ || index(line, ":") == 0) continue
                    key = tolower(substr(line, 1, index(line, ":") - 1))
                    val = substr(line, index(line, ":") + 1); gsub(/^[ \t]+|[ \t]+$/, "", val)
                    if (key == "types") { if ((" " val " ") ~ / deb /) deb = 1; continue }
                    if (key == "suites") {
                        n = split(val, s, /[ \t]+/)
                        for (j = 1; j <= n; j++) if (s[j] == cn) release = 1
                        continue
                    }
                    if (key == "enabled" && tolower(val) == "no") enabled = 0
                    if (key == "uris" && val ~ /security/) security = 1
                    keep = keep line "\n"
                }
                if (deb && release && enabled && !security) {
                    printf "Types: deb\nSuites: %s\n%s", suite, keep
                    exit
                }
            }' "$f" | grep . && return 0
    done
    # One-line format: "deb [options] URI <release> components".
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] || continue
        awk -v cn="$codename" -v suite="$suite" '
            $1 == "deb" && $0 !~ /security/ {
                for (i = 2; i <= NF; i++) if ($i == cn) { $i = suite; print; exit }
            }' "$f" | grep . && return 0
    done
    return 1
}

install_qemu_user() {
    local codename suite qemu
    for qemu in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
        if [[ -x $qemu ]] && "$qemu" --version | head -n1 | grep -qE 'version ([1-9][0-9]+|9|8\.[1-9])'; then
            return 0
        fi
    done
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || { echo "install-deps: cannot tell the Debian release from /etc/os-release" >&2; return 1; }
    suite="$codename-backports"
    if ! grep -qsE "(^|[[:space:]])$suite([[:space:]]|\$)" /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
            /etc/apt/sources.list.d/*.sources; then
        local entry
        entry=$(backports_entry "$codename") ||
            { echo "install-deps: no Debian entry for $codename in the apt sources to derive $suite from" >&2; return 1; }
        local file=/etc/apt/sources.list.d/kestro-backports.sources
        if [[ $entry == deb\ * ]]; then file=/etc/apt/sources.list.d/kestro-backports.list; fi
        echo "install-deps: adding $suite ($file)"
        printf '%s\n' "$entry" | "${sudo_cmd[@]}" tee "$file" >/dev/null
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    echo "install-deps: installing qemu-user from $suite"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        -t "$suite" qemu-user >/dev/null
}

if [[ $windows -eq 1 ]]; then
    install_qemu_user
    # Registers i386 ELF with qemu only where the kernel does not run 32-bit programs.
    "${sudo_cmd[@]}" bash "$(dirname "${BASH_SOURCE[0]}")/binfmt-i386.sh" register ||
        { echo "install-deps: 32-bit Windows tests cannot run on this machine (see above)" >&2; exit 1; }
fi
echo "install-deps: all packages present"
