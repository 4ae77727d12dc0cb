# Checks in the built DLL that each exported function removes exactly the argument bytes
# the export table computes: every "ret" of the exported function, of its ".cold" part
# and of the functions it tail-calls must carry that size.
#
#   awk -v base=<ImageBase hex> -f stack_sizes.awk <expected> <export RVAs> <disassembly>
#   expected:    "ordinal name bytes" per exported function (__stdcall from the linked
#                .def, __thiscall members from the table)
#   export RVAs: "ordinal rva" (hex) from objdump -p
#   disassembly: objdump -d --no-show-raw-insn of the DLL
# Prints one FAIL line per mismatch and a summary; exit 1 on any mismatch.

function hex(s,    i, c, v) {
    v = 0; s = tolower(s)
    for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; v = v * 16 + c }
    return v
}
FILENAME == ARGV[1] { want[$1] = $3; name[$1] = $2; next }
FILENAME == ARGV[2] { rva[$1] = hex($2); next }
# Disassembly: function headers "<addr> <symbol>:" and instructions "addr:\tmnemonic ...".
/^[0-9a-f]+ <.*>:$/ {
    current = substr($2, 2, length($2) - 3)
    start[hex($1)] = current
    next
}
current != "" && /^ *[0-9a-f]+:\t/ {
    line = $0
    sub(/^ *[0-9a-f]+:\t/, "", line)
    if (line ~ /^ret/) {
        n = 0
        if (match(line, /\$0x[0-9a-f]+/)) n = hex(substr(line, RSTART + 3, RLENGTH - 3))
        sizes[current] = sizes[current] " " n
    } else if (line ~ /^jmp +[0-9a-f]+ <[^+>]*>$/) {
        # A tail call: the callee's return ends this function's call.
        target = line; sub(/^jmp +[0-9a-f]+ </, "", target); sub(/>.*$/, "", target)
        if (index(target, current ".") != 1) jumps[current] = jumps[current] " " target
    }
}
function own(sym,    all, s) {
    all = sizes[sym]
    for (s in sizes) if (index(s, sym ".") == 1) all = all sizes[s]
    return all
}
# The function's own returns and those of the functions it tail-calls (one level).
function rets(sym,    all, n, t, i) {
    all = own(sym)
    n = split(jumps[sym], t, " ")
    for (i = 1; i <= n; i++) all = all own(t[i])
    return all
}
END {
    bad = 0; good = 0
    for (o in want) {
        addr = hex(base) + rva[o]
        sym = start[addr]
        if (sym == "") { print "FAIL " name[o] " (ordinal " o "): no function at its export address"; bad++; continue }
        r = rets(sym)
        if (r == "") { print "FAIL " name[o] ": no return found in " sym; bad++; continue }
        split(substr(r, 2), list, " ")
        ok = 1
        for (i in list) if (list[i] != want[o]) ok = 0
        if (ok) good++
        else { print "FAIL " name[o] " (" sym ") removes" r " bytes, the table says " want[o]; bad++ }
    }
    printf "%s %d exported functions remove the bytes the table computes%s\n", bad ? "FAIL" : "ok  ", good,
           bad ? " (" bad " do not)" : ""
    exit bad ? 1 : 0
}
