#!/usr/bin/env bash
# Makes this machine run 32-bit x86 Linux programs (the i386 Wine loader) when its kernel
# cannot: registers i386 ELF with binfmt_misc, interpreted by qemu-user, with flag F (the
# kernel opens the interpreter once, at registration, so it also works inside other
# mount namespaces). Mounts binfmt_misc first when it is not mounted.
#
#   binfmt-i386.sh check      exit 0 when 32-bit programs run here (natively or through
#                             an existing registration), 1 otherwise, with the reason
#   binfmt-i386.sh register   as check, and registers qemu-i386 when they do not run
#
# Needs root for "register". qemu-user must be 8.1 or later: 7.2 ignores
# MAP_FIXED_NOREPLACE and Wine cannot map kernel32 under it.
set -euo pipefail

action=${1:-check}
mnt=/proc/sys/fs/binfmt_misc
min_major=8 min_minor=1

# The i386 dynamic loader (from libc6:i386, which wine32 needs anyway) is itself an i386
# ELF program: "ld-linux.so.2 --help" exits 0 when 32-bit programs run.
probe_program() {
    local p
    for p in /lib/ld-linux.so.2 /usr/lib/i386-linux-gnu/ld-linux.so.2; do
        [[ -x $p ]] && { echo "$p"; return 0; }
    done
    return 1
}

runs_i386() {
    local p
    p=$(probe_program) || return 2
    "$p" --help >/dev/null 2>&1
}

qemu_version_ok() {
    local v major minor
    v=$("$1" --version 2>/dev/null | sed -nE 's/.*version ([0-9]+)\.([0-9]+).*/\1 \2/p' | head -n1)
    [[ -n $v ]] || return 1
    read -r major minor <<<"$v"
    ((major > min_major || (major == min_major && minor >= min_minor)))
}

find_qemu() {
    local q
    for q in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
        if [[ -x $q ]] && qemu_version_ok "$q"; then echo "$q"; return 0; fi
    done
    return 1
}

check() {
    local rc=0
    runs_i386 || rc=$?
    if [[ $rc -eq 0 ]]; then return 0; fi
    if [[ $rc -eq 2 ]]; then
        echo "no i386 C library (libc6:i386) to probe with: install wine32:i386" >&2
        return 1
    fi
    echo "32-bit x86 programs do not run on this kernel (IA-32 emulation off) and no" \
         "binfmt_misc entry for i386 ELF is active" >&2
    return 1
}

register() {
    check 2>/dev/null && return 0
    local qemu
    qemu=$(find_qemu) || {
        echo "no qemu-i386 of version $min_major.$min_minor or later (install qemu-user from backports:" \
             "scripts/install-deps.sh)" >&2
        return 1
    }
    [[ $(id -u) -eq 0 ]] || { echo "registering i386 ELF with binfmt_misc needs root" >&2; return 1; }
    if [[ ! -e $mnt/register ]]; then
        mount -t binfmt_misc binfmt_misc "$mnt" 2>/dev/null || {
            echo "cannot mount binfmt_misc on $mnt (no privilege for it in this container?)" >&2
            return 1
        }
    fi
    if [[ -e $mnt/status && $(cat "$mnt/status") != enabled ]]; then
        echo 1 >"$mnt/status" || { echo "cannot enable binfmt_misc" >&2; return 1; }
    fi
    if [[ -e $mnt/qemu-i386 ]]; then
        # A stale entry (another interpreter, or one that no longer exists): replace it.
        echo -1 >"$mnt/qemu-i386" || { echo "cannot remove the stale qemu-i386 entry" >&2; return 1; }
    fi
    # ELF, 32-bit, little-endian, version 1, executable or shared object, machine 3 (i386).
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:F" >"$mnt/register" 2>/dev/null || {
        echo "binfmt_misc refused the i386 entry for $qemu" >&2
        return 1
    }
    check || return 1
    echo "binfmt-i386: i386 ELF registered, interpreter $qemu ($("$qemu" --version | head -n1))"
}

case "$action" in
    check) check ;;
    register) register ;;
    *) echo "usage: $0 check|register" >&2; exit 2 ;;
esac
