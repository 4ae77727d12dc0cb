#!/usr/bin/env bash
# Windows tests of Kestro.dll, run from the Linux build's ctest.
#
#   run_wine_tests.sh exports <source dir> <work dir>
#       Cross-builds the 32-bit Kestro.dll and compares its export table (objdump -p)
#       with the fixed table: every export at its ordinal under its plain name, every
#       export the sources define present, nothing else, only system DLLs imported, and
#       the stack size of every __stdcall export read from its code.
#   run_wine_tests.sh host <source dir> <work dir> [kestro-sim]
#       Cross-builds Kestro.dll and the host programs, and runs them under Wine in a
#       private prefix. With the simulator program (a Linux build of kestro-sim) it also
#       runs a serial session against it on COM4, the host driving the simulator through
#       its control socket (request and reply files relayed by this script). Always the
#       32-bit DLL under wine32: on a kernel that cannot run 32-bit x86 programs the i386
#       Wine loader runs under qemu-user through binfmt_misc (scripts/binfmt-i386.sh
#       registers it when this runs as root); where that is impossible the test fails
#       with the reason. KESTRO_WINE_TARGET=x86_64 selects the 64-bit build under wine64
#       instead, explicitly.
#
# Exit code 77 (skipped) only when the cross compiler or Wine is not installed.
set -euo pipefail

mode=${1:?mode: exports or host}
src=$(cd "${2:?source dir}" && pwd)
work=${3:?work dir}
sim=${4:-}
mkdir -p "$work"
work=$(cd "$work" && pwd)
jobs=${KESTRO_JOBS:-2}
here="$src/tests/windows"
table="$here/export_ordinals.txt"  # ordinal and name of every C export, kept by hand
tsv="$src/src/api/exports.tsv"      # the table the build generates the .def from

# Helper processes started here (far ends of the serial lines, the simulator) end with
# the script, however it ends.
bg_pids=()
wineserver_cmd=""  # the Wine server of this run's prefix, while it is up
trap 'for p in "${bg_pids[@]}"; do kill "$p" 2>/dev/null || true; done
      [[ -z $wineserver_cmd ]] || timeout 30 "$wineserver_cmd" -k >/dev/null 2>&1 || true' EXIT

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

have_toolchain() { command -v "$1-g++-posix" >/dev/null 2>&1 && command -v "$1-gcc-posix" >/dev/null 2>&1; }

# Builds Kestro.dll for one MinGW target into $work/build-<triple>; prints the build dir.
build_dll() {
    local triple=$1 dir="$work/build-$1"
    if [[ ! -f "$dir/CMakeCache.txt" ]]; then
        cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-i686.cmake" \
            -DKESTRO_MINGW_TRIPLE="$triple" -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_TESTS=OFF \
            -DKESTRO_BUILD_TOOLS=OFF -DKESTRO_WERROR=ON >"$work/configure-$triple.log" 2>&1 ||
            { cat "$work/configure-$triple.log"; fail "configure for $triple"; }
    fi
    cmake --build "$dir" --target kestro kestro_internal -j"$jobs" >"$work/build-$triple.log" 2>&1 ||
        { cat "$work/build-$triple.log"; fail "build of Kestro.dll for $triple"; }
    echo "$dir"
}

# "ordinal name" of every slot: the C exports, then the class members, virtual tables
# and static members (their decorated names are taken from exports.tsv).
full_table() {
    cat "$table"
    awk -F'\t' '!/^#/ && NF >= 5 && $3 != "c" { print $1, $2 }' "$tsv"
}

# Names the sources define as exports (the POSIX-only message-window helpers aside).
defined_exports() {
    grep -rhoE 'KESTRO_EXPORT\([^)]*\)[[:space:]]+[A-Za-z_][A-Za-z0-9_]*' "$src/src" --include='*.cpp' |
        sed -E 's/.*[[:space:]]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | grep -v '^Kestro' | sort -u
}

check_exports() {
    have_toolchain i686-w64-mingw32 || skip "i686-w64-mingw32 cross compiler not installed"
    local dir dll dump
    dir=$(build_dll i686-w64-mingw32)
    dll="$dir/src/Kestro.dll"
    [[ -f "$dll" ]] || fail "no $dll"
    dump=$(i686-w64-mingw32-objdump -p "$dll")
    local failed=0 passed=0
    ok() { echo "ok   $*"; passed=$((passed + 1)); }
    bad() { echo "FAIL $*"; failed=$((failed + 1)); }

    grep -q 'Ordinal Base[[:space:]]*1$' <<<"$dump" && ok "ordinal base 1" || bad "ordinal base is not 1"
    # "[Ordinal/Name Pointer] Table" rows: "[  n] Name" with n = ordinal - base.
    local actual
    actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        sed -nE 's/^[[:space:]]*\[[[:space:]]*([0-9]+)\][[:space:]]+(.+)$/\1 \2/p' |
        awk '{ print $1 + 1, $2 }' | sort -n)
    [[ -n "$actual" ]] || fail "no named exports in $dll"
    local disagree
    disagree=$(diff <(sort "$table") <(awk -F'\t' '!/^#/ && $3 == "c" { print $1, $2 }' "$tsv" | sort) || true)
    [[ -z "$disagree" ]] && ok "exports.tsv has the $(wc -l <"$table") C exports of the fixed table" ||
        bad "exports.tsv and the fixed table differ: $(tr '\n' ' ' <<<"$disagree")"
    local decorated
    decorated=$(awk '$2 ~ /^[A-Za-z_][A-Za-z0-9_]*@[0-9]+$/' <<<"$actual")
    [[ -z "$decorated" ]] && ok "no __stdcall-decorated names (Name@N)" ||
        bad "decorated names exported: $(tr '\n' ' ' <<<"$decorated")"
    local wrong
    wrong=$(awk 'NR == FNR { want[$2] = $1; next } !($2 in want) || want[$2] != $1 { print }' <(full_table) - \
        <<<"$actual")
    [[ -z "$wrong" ]] && ok "$(wc -l <<<"$actual") exports, each at its ordinal of the table" ||
        bad "exports not in the table or at a wrong ordinal: $(tr '\n' ' ' <<<"$wrong")"
    local missing
    missing=$(comm -23 <(defined_exports) <(awk '{ print $2 }' <<<"$actual" | sort -u))
    [[ -z "$missing" ]] && ok "every export the sources define is in the DLL" ||
        bad "defined in the sources but not exported: $(tr '\n' ' ' <<<"$missing")"
    missing=$(comm -23 <(awk -F'\t' '!/^#/ && $5 == "yes" { print $2 }' "$tsv" | sort -u) \
        <(awk '{ print $2 }' <<<"$actual" | sort -u))
    [[ -z "$missing" ]] && ok "every export exports.tsv marks implemented is in the DLL" ||
        bad "marked implemented but not exported: $(tr '\n' ' ' <<<"$missing")"
    local unnamed
    # Address table entries without a name would be reachable by ordinal only.
    unnamed=$(sed -n '/Export Address Table -- Ordinal Base/,/\[Ordinal\/Name Pointer\]/p' <<<"$dump" |
        sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+\+base\[[[:space:]]*([0-9]+)\].*/\1/p' |
        awk 'NR == FNR { named[$1] = 1; next } !($1 in named) { print $1 }' <(cat <<<"$actual") - | sort -un)
    [[ -z "$unnamed" ]] && ok "no ordinal without a name" || bad "ordinals without a name: $(tr '\n' ' ' <<<"$unnamed")"
    # The table itself: 200 C functions and 105 class-member, virtual-table and static
    # slots. Once every row is implemented (or with KESTRO_REQUIRE_ALL_EXPORTS=1) the DLL
    # must export all 305.
    local c_rows member_rows yes_rows exported
    c_rows=$(awk -F'\t' '!/^#/ && NF >= 5 && $3 == "c"' "$tsv" | wc -l)
    member_rows=$(awk -F'\t' '!/^#/ && NF >= 5 && $3 ~ /^(member|vtable|static)$/' "$tsv" | wc -l)
    yes_rows=$(awk -F'\t' '!/^#/ && NF >= 5 && $5 == "yes"' "$tsv" | wc -l)
    exported=$(wc -l <<<"$actual")
    [[ $c_rows -eq 200 && $member_rows -eq 105 ]] && ok "the table has 200 C rows and 105 member, table and static rows" ||
        bad "the table has $c_rows C rows and $member_rows member rows (200 and 105 expected)"
    if [[ $yes_rows -eq 305 || ${KESTRO_REQUIRE_ALL_EXPORTS:-0} == 1 ]]; then
        [[ $exported -eq 305 ]] && ok "all 305 exports are in the DLL" || bad "only $exported of the 305 exports are in the DLL"
    else
        echo "note $exported of the 305 exports are built ($yes_rows rows implemented); all are required once every row is"
    fi
    # The stack size of every __stdcall export, read from the code of the built DLL.
    local base want
    base=$(awk '/^ImageBase/ { print $2 }' <<<"$dump")
    want=$(sed -nE 's/^[[:space:]]+([A-Za-z_][A-Za-z0-9_]*) = [A-Za-z_][A-Za-z0-9_]*@([0-9]+) @([0-9]+)$/\3 \1 \2/p' \
        "$dir/src/generated/Kestro-link.def")
    # The implemented class members: __thiscall removes 4 bytes per argument (this is in
    # ECX), the static thread procedures are __cdecl (the caller removes them).
    want+=$'\n'$(awk -F'\t' '!/^#/ && NF >= 5 && $3 == "member" && $5 == "yes" {
            args = $4; sub(/^[^(]*\(/, "", args); sub(/\)[^)]*$/, "", args)
            n = (args == "") ? 0 : split(args, parts, ",")
            if ($4 ~ / static /) n = 0
            print $1, $2, 4 * n }' "$tsv")
    local sizes
    if sizes=$(awk -v base="$base" -f "$here/stack_sizes.awk" <(cat <<<"$want") \
            <(sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+\+base\[[[:space:]]*([0-9]+)\][[:space:]]+([0-9a-f]+) Export RVA$/\1 \2/p' <<<"$dump") \
            <(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll")); then
        ok "${sizes#ok   } (__stdcall C exports and __thiscall members)"
    else
        echo "$sizes"
        bad "stack sizes of the __stdcall exports"
    fi
    local imports
    imports=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
    local foreign
    foreign=$(grep -vxE 'kernel32\.dll|user32\.dll|version\.dll|msvcrt\.dll|advapi32\.dll|ws2_32\.dll|api-ms-win-.*\.dll' \
        <<<"$imports" || true)
    [[ -z "$foreign" ]] && ok "imports only system DLLs ($(tr '\n' ' ' <<<"$imports"))" ||
        bad "needs DLLs that Windows does not ship: $(tr '\n' ' ' <<<"$foreign")"
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
}

# Prints the Wine loader for the given bitness when it runs on this machine.
wine_loader() {
    local candidates=()
    if [[ $1 == 32 ]]; then
        candidates=(/usr/lib/wine/wine "$(command -v wine 2>/dev/null || true)")
    else
        candidates=(/usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null || true)")
    fi
    local c
    for c in "${candidates[@]}"; do
        [[ -n "$c" && -x "$c" ]] || continue
        if "$c" --version >/dev/null 2>&1; then echo "$c"; return 0; fi
    done
    return 1
}

# Makes sure 32-bit x86 programs run here: natively, through an existing binfmt_misc
# entry, or by registering qemu-user for i386 ELF now (as root). Fails with the reason.
ensure_i386() {
    local reason
    if reason=$(bash "$src/scripts/binfmt-i386.sh" check 2>&1); then return 0; fi
    echo "note: $reason; registering qemu-user for i386 ELF"
    reason=$(bash "$src/scripts/binfmt-i386.sh" register 2>&1) ||
        fail "32-bit programs cannot run on this machine: $reason (scripts/install-deps.sh sets this up;" \
             "KESTRO_WINE_TARGET=x86_64 runs the 64-bit build instead)"
    echo "$reason"
}

run_host() {
    local triple loader started=$SECONDS
    case "${KESTRO_WINE_TARGET:-i686}" in
        i686)
            have_toolchain i686-w64-mingw32 || skip "i686-w64-mingw32 cross compiler not installed"
            [[ -x /usr/lib/wine/wine ]] || command -v wine >/dev/null 2>&1 || skip "Wine is not installed"
            ensure_i386
            loader=$(wine_loader 32) ||
                fail "32-bit programs run, but the 32-bit Wine loader does not (wine32:i386 missing or broken)"
            triple=i686-w64-mingw32
            ;;
        x86_64)
            have_toolchain x86_64-w64-mingw32 || skip "x86_64-w64-mingw32 cross compiler not installed"
            loader=$(wine_loader 64) || skip "wine64 is not installed or cannot run"
            triple=x86_64-w64-mingw32
            echo "note: KESTRO_WINE_TARGET=x86_64: the 64-bit build under wine64 (no __stdcall, no 32-bit layouts)"
            ;;
        *) fail "KESTRO_WINE_TARGET must be i686 or x86_64" ;;
    esac
    echo "target $triple, loader $loader"

    local dir
    dir=$(build_dll "$triple")
    local run="$work/run-$triple"
    rm -rf "$run"
    mkdir -p "$run"
    cp "$dir/src/Kestro.dll" "$run/"
    local cflags=(-std=c11 -O1 -Wall -Wextra -Werror -static-libgcc)
    "$triple-gcc-posix" "${cflags[@]}" "$here/host_test.c" -o "$run/host_test.exe" -lversion ||
        fail "compile host_test.c"
    "$triple-gcc-posix" "${cflags[@]}" "$here/import_link_test.c" -o "$run/import_link_test.exe" \
        "$dir/src/Kestro.lib" || fail "compile import_link_test.c against Kestro.lib"
    local implemented=0
    if [[ $triple == i686-* ]]; then
        # Every export of the import library as a load-time import ("Name@N" and the
        # Microsoft names of the class members, from its definitions).
        awk '/^    [^;]/ { n++; name = $1; plain = name
                 if (name ~ /^\?/) sym = "__imp_" name; else { sub(/@[0-9]+$/, "", plain); sym = "__imp__" name }
                 printf "IMPORT(%d, \"%s\", \"%s\")\n", n, plain, sym }' \
            "$dir/src/generated/Kestro-implib.def" >"$run/imports.h"
        implemented=$(awk -F'\t' '!/^#/ && NF >= 5 && $5 == "yes"' "$tsv" | wc -l)
        "$triple-gcc-posix" "${cflags[@]}" -I"$run" "$here/import_all_test.c" -o "$run/import_all_test.exe" \
            "$dir/src/Kestro.lib" || fail "compile import_all_test.c against Kestro.lib"
    fi
    if [[ $triple == i686-* ]]; then
        "$triple-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror "$here/framework_host_test.cpp" \
            -o "$run/framework_host_test.exe" -static || fail "compile framework_host_test.cpp"
        # The stand-in of the framework's DLL, in a directory of its own (no other
        # program of the run loads it).
        mkdir -p "$run/framework"
        "$triple-gcc-posix" "${cflags[@]}" -shared "$here/framework_standin.c" "$here/framework_standin.def" \
            -o "$run/framework/MFC42.DLL" || fail "compile framework_standin.c"
        cp "$run/framework_host_test.exe" "$run/framework/"
        mkdir -p "$run/wrong-framework"
        "$triple-gcc-posix" "${cflags[@]}" -DSTANDIN_WRONG_LAYOUT -shared "$here/framework_standin.c" \
            "$here/framework_standin.def" -o "$run/wrong-framework/MFC42.DLL" || fail "compile framework_standin.c"
        cp "$run/framework_host_test.exe" "$run/wrong-framework/"
    fi
    "$triple-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -I"$src/include" -I"$src/src" -I"$dir/src/generated" \
        "$here/serial_backend_test.cpp" -o "$run/serial_backend_test.exe" "$dir/src/libkestro_internal.a" \
        -static -lversion || fail "compile serial_backend_test.cpp against the library's objects"
    "$triple-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -I"$src/include" -I"$src/src" -I"$dir/src/generated" \
        "$here/platform_test.cpp" -o "$run/platform_test.exe" "$dir/src/libkestro_internal.a" \
        -static -lversion || fail "compile platform_test.cpp against the library's objects"
    full_table >"$run/export_ordinals.txt"

    export WINEPREFIX="$work/wineprefix-$triple"
    if [[ $triple == i686-* ]]; then export WINEARCH=win32; else export WINEARCH=win64; fi
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko install prompts
    export KESTRO_NO_MESSAGE_BOX=1
    export WINELOADER="$loader"
    unset DISPLAY WAYLAND_DISPLAY
    if [[ ! -f "$WINEPREFIX/.kestro-ready" ]]; then
        rm -rf "$WINEPREFIX"
        timeout 300 "$loader" wineboot -i >"$work/wineboot-$triple.log" 2>&1 ||
            { cat "$work/wineboot-$triple.log"; fail "wineboot -i"; }
        touch "$WINEPREFIX/.kestro-ready"
    fi

    local wineserver
    wineserver="$(dirname "$loader")/wineserver"
    [[ -x $wineserver ]] || wineserver=wineserver

    # COM1, COM2 and COM3 -> pseudo-terminals. The far end of COM1 records what it
    # receives; that of COM2 also echoes it; that of COM3 hangs up after the first byte.
    # Wine takes the mapping from the registry when its server starts.
    local peer_pids=() capture="$run/com1-capture.bin" serial=0 sim_pid="" sim_socket=""
    map_port() {
        timeout 60 "$loader" reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f \
            >"$run/reg.log" 2>&1 || { cat "$run/reg.log"; fail "could not map COM$1"; }
    }
    if cc -std=c11 -O1 -Wall -Wextra -Werror "$here/pty_peer.c" -o "$run/pty_peer" 2>"$run/pty_peer.log"; then
        local n
        for n in 1 2 3; do
            local mode=()
            [[ $n -eq 2 ]] && mode=(echo)
            [[ $n -eq 3 ]] && mode=(hangup)
            "$run/pty_peer" "$run/com$n" "$run/com$n-capture.bin" 300 "${mode[@]}" >"$run/pty_peer$n.out" 2>&1 &
            peer_pids+=($!)
            bg_pids+=($!)
            for _ in $(seq 100); do grep -q ready "$run/pty_peer$n.out" 2>/dev/null && break; sleep 0.05; done
            grep -q ready "$run/pty_peer$n.out" || fail "pty_peer did not start: $(cat "$run/pty_peer$n.out")"
            map_port "$n" "$run/com$n"
        done
        if [[ -n $sim && -x $sim ]]; then
            # COM4 -> the simulator. The session host asks and drives it through its
            # control socket (see run_session below).
            mkdir -p "$run/session"
            cp "$run/Kestro.dll" "$run/session/"
            "$triple-gcc-posix" "${cflags[@]}" "$here/session_test.c" -o "$run/session/session_test.exe" ||
                fail "compile session_test.c"
            cc -std=c11 -O1 -Wall -Wextra -Werror "$here/sim_control.c" -o "$run/sim_control" ||
                fail "compile sim_control.c"
            sim_socket="$run/sim.sock"
            # A UNIX socket path has room for about 100 bytes.
            if [[ ${#sim_socket} -gt 100 ]]; then
                sim_socket="$(mktemp -d /tmp/kestro-sim.XXXXXX)/sim.sock"
            fi
            # COM5 -> the simulator's service console (console_session_test.exe).
            mkdir -p "$run/console"
            cp "$run/Kestro.dll" "$run/console/"
            "$triple-gcc-posix" "${cflags[@]}" "$here/console_session_test.c" -o "$run/console/console_session_test.exe" ||
                fail "compile console_session_test.c"
            "$sim" --link "$run/com4" --control "$sim_socket" --console --console-link "$run/com5" --quiet \
                </dev/null >"$run/sim.out" 2>"$run/sim.err" &
            sim_pid=$!
            bg_pids+=($!)
            for _ in $(seq 100); do grep -q '^CONSOLE ' "$run/sim.out" 2>/dev/null && break; sleep 0.05; done
            grep -q '^PTY ' "$run/sim.out" || fail "kestro-sim did not start: $(cat "$run/sim.out" "$run/sim.err")"
            grep -q '^CONSOLE ' "$run/sim.out" || fail "kestro-sim's console did not start: $(cat "$run/sim.err")"
            map_port 4 "$run/com4"
            map_port 5 "$run/com5"
        else
            echo "note: no kestro-sim given: the serial session on COM4 is skipped"
        fi
        timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
        timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
        export KESTRO_TEST_COM1=1
        serial=1
    else
        cat "$run/pty_peer.log"
        echo "note: no host C compiler for the pseudo-terminal peer: serial checks skipped"
    fi

    # One Wine server for all the host programs of this run (persistent until killed at
    # the end), so that no program pays for starting it.
    timeout 30 "$wineserver" -p || fail "could not start the Wine server"
    wineserver_cmd=$wineserver
    local programs_started=$SECONDS

    local version
    version="$(head -n1 "$src/VERSION" | tr -d '[:space:]').0"
    local status=0
    (cd "$run" && timeout 120 "$loader" ./host_test.exe export_ordinals.txt "$version" \
        IO_GetModelPointerByte IO_InitDLL IO_ResetGen IO_SetMsghWnd IO_InitGenerator GSIWriteTrace) || status=$?
    local status2=0
    # The framework's objects at the exports, and the class members (32-bit only: the
    # layouts and calling conventions are those of 32-bit hosts).
    if [[ -f $run/framework_host_test.exe ]]; then
        (cd "$run" && timeout 300 "$loader" ./framework_host_test.exe) || status2=$?
        # The same settings beside the copy that loads the framework stand-in.
        local variant
        for variant in framework wrong-framework; do
            cp -r "$run/Kestro.dll" "$run/Gen" "$run/$variant/" 2>/dev/null || true
            (cd "$run/$variant" && timeout 120 "$loader" ./framework_host_test.exe "$variant") ||
                status2=$((status2 + $?))
        done
    fi
    (cd "$run" && timeout 60 "$loader" ./import_link_test.exe) || status2=$((status2 + $?))
    if [[ -f $run/import_all_test.exe ]]; then
        (cd "$run" && timeout 60 "$loader" ./import_all_test.exe "$implemented") || status2=$((status2 + $?))
    fi
    (cd "$run" && timeout 60 "$loader" ./platform_test.exe Kestro.dll "$version" 2>"$run/platform_stderr.txt") ||
        status2=$((status2 + $?))
    sed 's/^/stderr: /' "$run/platform_stderr.txt"
    if [[ $(tr -d '\r' <"$run/platform_stderr.txt" | grep -cx '\[Kestro test\] line one | line two' || true) -eq 1 ]]; then
        echo "ok   a message box with KESTRO_NO_MESSAGE_BOX is one line on standard error"
    else
        echo "FAIL the suppressed message box did not print its one line"
        status2=$((status2 + 1))
    fi
    local status4=0
    if [[ $serial -eq 1 ]]; then
        (cd "$run" && timeout 120 "$loader" ./serial_backend_test.exe 2>"$run/serial_stderr.txt") || status4=$?
        sed 's/^/stderr: /' "$run/serial_stderr.txt"
        # The hung-up COM3 is reported once, as the "COM Error" box (a line on standard
        # error with KESTRO_NO_MESSAGE_BOX), and by nothing else.
        local boxes others
        boxes=$(grep -c '^\[COM Error\] COM or USB to COM port Invalid ! ' "$run/serial_stderr.txt" || true)
        others=$(grep -c '^\[' "$run/serial_stderr.txt" || true)
        if [[ $boxes -eq 1 && $others -eq 1 ]]; then
            echo "ok   the hung-up port was reported once, as \"COM Error\", without a window"
        else
            echo "FAIL expected one \"COM Error\" line and no other box on standard error; got $boxes of $others"
            status4=1
        fi
    fi
    local status5=0
    if [[ -n $sim_pid ]]; then
        (cd "$run/session" && timeout 180 "$loader" ./session_test.exe) &
        local session_pid=$!
        # Control commands from the host: "ctl/req-<n>.txt" (moved into place whole)
        # goes to the simulator, its reply to "ctl/rep-<n>.txt" (likewise), in order,
        # until the host ends.
        local ctl="$run/session/ctl" request=1
        mkdir -p "$ctl"
        while kill -0 "$session_pid" 2>/dev/null; do
            if [[ -f "$ctl/req-$request.txt" ]]; then
                "$run/sim_control" "$sim_socket" 30000 <"$ctl/req-$request.txt" >"$ctl/rep-$request.tmp" ||
                    echo "ERR no reply from the simulator" >>"$ctl/rep-$request.tmp"
                mv "$ctl/rep-$request.tmp" "$ctl/rep-$request.txt"
                request=$((request + 1))
            else
                sleep 0.02
            fi
        done
        wait "$session_pid" || status5=$?
        (cd "$run/console" && timeout 180 "$loader" ./console_session_test.exe) || status5=$((status5 + $?))
        echo quit | "$run/sim_control" "$sim_socket" 5000 >/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        if [[ $sim_socket == /tmp/kestro-sim.* ]]; then rm -rf "$(dirname "$sim_socket")"; fi
    fi
    # A CAN session: the driver stand-in (vxlapi.dll, test-only) carries the frames over
    # socketcand to a second simulator, which serves its CAN face on 127.0.0.1.
    local status6=0
    if [[ -n $sim && -x $sim ]]; then
        run_can_session "$triple" "$run" "$sim" "${cflags[@]}" || status6=$?
    fi
    timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    wineserver_cmd=""
    echo "time: host programs $((SECONDS - programs_started)) s, whole run $((SECONDS - started)) s ($triple)"

    local status3=0
    if [[ $serial -eq 1 ]]; then
        local pid
        for pid in "${peer_pids[@]}"; do
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        done
        # The status poll as framed on the wire: "ST", 0x03, checksum 0xAA; sent once per
        # attempt.
        local frames
        frames=$(od -An -v -tx1 "$capture" | tr -s ' \n' ' ' | grep -o '53 54 03 aa' | wc -l || true)
        if [[ $frames -ge 1 ]]; then
            echo "ok   far end of COM1 received the status poll $frames times (53 54 03 aa)"
        else
            echo "FAIL far end of COM1 did not receive 53 54 03 aa; got: $(od -An -tx1 "$capture" | head -3)"
            status3=1
        fi
    fi
    [[ $status -eq 0 && $status2 -eq 0 && $status3 -eq 0 && $status4 -eq 0 && $status5 -eq 0 && $status6 -eq 0 ]] ||
        fail "host programs under Wine (exit $status, $status2, $status3, $status4, $status5, $status6)"
}

# The CAN session under Wine (can_session_test.c against kestro-sim --can, through the
# driver stand-in built from xl_standin.c). Returns the host's failure count.
run_can_session() {
    local triple=$1 run=$2 sim=$3
    shift 3
    local cflags=("$@") dir="$run/can" dll=vxlapi.dll
    [[ $triple == x86_64-* ]] && dll=vxlapi64.dll
    mkdir -p "$dir/ctl"
    cp "$run/Kestro.dll" "$dir/"
    "$triple-gcc-posix" "${cflags[@]}" -shared "$here/xl_standin.c" -o "$dir/$dll" -lws2_32 -Wl,--kill-at ||
        fail "compile the driver stand-in"
    "$triple-gcc-posix" "${cflags[@]}" "$here/can_session_test.c" -o "$dir/can_session_test.exe" ||
        fail "compile can_session_test.c"
    [[ -x "$run/sim_control" ]] || cc -std=c11 -O1 -Wall -Wextra -Werror "$here/sim_control.c" -o "$run/sim_control" ||
        fail "compile sim_control.c"
    # First without the driver DLL beside the host: a clean failure.
    local bare="$run/can-no-driver" status=0
    mkdir -p "$bare"
    cp "$run/Kestro.dll" "$dir/can_session_test.exe" "$bare/"
    (cd "$bare" && timeout 120 "$WINELOADER" ./can_session_test.exe --no-driver) || status=$?
    local socket
    socket="$(mktemp -d /tmp/kestro-sim-can.XXXXXX)/sim.sock"
    "$sim" --can socketcand:0 --control "$socket" --quiet </dev/null >"$dir/sim.out" 2>"$dir/sim.err" &
    local pid=$!
    bg_pids+=($!)
    for _ in $(seq 100); do grep -q '^CAN ' "$dir/sim.out" 2>/dev/null && break; sleep 0.05; done
    grep -q '^CAN socketcand:' "$dir/sim.out" || fail "kestro-sim --can did not start: $(cat "$dir/sim.out" "$dir/sim.err")"
    # "CAN socketcand:127.0.0.1:PORT:can0" -> the stand-in's server.
    export KESTRO_XL_SOCKETCAND
    KESTRO_XL_SOCKETCAND=$(sed -n 's/^CAN socketcand:\(.*\)$/\1/p' "$dir/sim.out" | head -n1)
    export KESTRO_XL_RECORD='xl_calls.txt'
    unset KESTRO_CAN
    rm -f "$dir/xl_calls.txt"
    (cd "$dir" && timeout 180 "$WINELOADER" ./can_session_test.exe) &
    local host=$! request=1 status2=0
    while kill -0 "$host" 2>/dev/null; do
        if [[ -f "$dir/ctl/req-$request.txt" ]]; then
            "$run/sim_control" "$socket" 30000 <"$dir/ctl/req-$request.txt" >"$dir/ctl/rep-$request.tmp" ||
                echo "ERR no reply from the simulator" >>"$dir/ctl/rep-$request.tmp"
            mv "$dir/ctl/rep-$request.tmp" "$dir/ctl/rep-$request.txt"
            request=$((request + 1))
        else
            sleep 0.02
        fi
    done
    wait "$host" || status2=$?
    # The same session without the driver: the library's own socketcand backend (Winsock)
    # on the bus KESTRO_CAN names.
    local direct="$run/can-socketcand" status3=0 request3=1
    mkdir -p "$direct/ctl"
    cp "$run/Kestro.dll" "$dir/can_session_test.exe" "$direct/"
    (cd "$direct" && KESTRO_CAN="socketcand:$KESTRO_XL_SOCKETCAND" timeout 180 "$WINELOADER" \
        ./can_session_test.exe --socketcand) &
    host=$!
    while kill -0 "$host" 2>/dev/null; do
        if [[ -f "$direct/ctl/req-$request3.txt" ]]; then
            "$run/sim_control" "$socket" 30000 <"$direct/ctl/req-$request3.txt" >"$direct/ctl/rep-$request3.tmp" ||
                echo "ERR no reply from the simulator" >>"$direct/ctl/rep-$request3.tmp"
            mv "$direct/ctl/rep-$request3.tmp" "$direct/ctl/rep-$request3.txt"
            request3=$((request3 + 1))
        else
            sleep 0.02
        fi
    done
    wait "$host" || status3=$?
    echo quit | "$run/sim_control" "$socket" 5000 >/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$(dirname "$socket")"
    if [[ -f "$dir/xl_calls.txt" ]]; then sed 's/^/xl: /' "$dir/xl_calls.txt" | head -n 40; fi
    return $((status + status2 + status3))
}

case "$mode" in
    exports) check_exports ;;
    host) run_host ;;
    *) fail "unknown mode $mode" ;;
esac
