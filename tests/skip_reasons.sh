#!/bin/sh
# After a CTest run, prints why each skipped test skipped, read from the
# run's JUnit file (CTest prints only "***Skipped"). GoogleTest's reason is
# the message between "Skipped" and "[  SKIPPED ]"; a script's, its line
# "skipped: ..."; anything else, the last line it printed.
# Usage: skip_reasons.sh JUNIT_FILE. Always exits 0: this only informs.
[ -f "$1" ] || exit 0
awk '
function unescape(text) {
    gsub(/&lt;/, "<", text); gsub(/&gt;/, ">", text); gsub(/&quot;/, "\"", text)
    gsub(/&apos;/, "\047", text); gsub(/&amp;/, "\\&", text)
    return text
}
function reason(    i, found, said) {
    for (i = 1; i <= lines; i++) {
        if (line[i] ~ /^\[  SKIPPED \]/) break
        if (found && line[i] != "") said = said (said == "" ? "" : " ") line[i]
        if (line[i] ~ /: Skipped$/) found = 1
    }
    if (said != "") return said
    for (i = 1; i <= lines; i++)
        if (line[i] ~ /skipped: /) { said = line[i]; sub(/.*skipped: /, "", said); return said }
    for (i = lines; i >= 1; i--) if (line[i] != "") return line[i]
    return "no reason given"
}
/<testcase / {
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
    skipped = 0; lines = 0; output = 0
}
/<skipped/ { skipped = 1 }
/<system-out>/ { output = 1; sub(/.*<system-out>/, "") }
output {
    text = $0
    if (text ~ /<\/system-out>/) { sub(/<\/system-out>.*/, "", text); output = 0 }
    line[++lines] = unescape(text)
}
/<\/testcase>/ && skipped {
    if (!count++) print "\nWhy the skipped tests skipped:"
    print "  " unescape(name) ": " reason()
}
' "$1"
exit 0
