# Reads valgrind memcheck logs and prints each report about an invalid read or write or a use
# of uninitialised memory that has the module in its stack; fails if there is one.
#   awk -f tools/memcheck.awk LOG...
# A report is the lines between two of memcheck's empty "==PID==" lines.
/^==[0-9]+== *$/ { flush(); next }
{ block = block $0 "\n" }
/Invalid read|Invalid write|uninitialised/ { bad = 1 }
/loss\.cpython/ { ours = 1 }
END {
    flush()
    if (n) { print n " memcheck reports in the module"; exit 1 }
}
function flush() {
    if (bad && ours) { print block; n++ }
    block = ""; bad = ours = 0
}
