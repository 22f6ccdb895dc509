#!/usr/bin/env bash
# Every local link in DIR/README.md and DIR/docs/*.md must resolve: the file
# or folder it names exists, and a #fragment names a heading of that page by
# GitHub's rule. Run on the source tree and on the installed documentation,
# so links must be relative and stay among these files.
#   link_check.sh DIR
# Prints one line per broken link and exits 1 if there is any.
export LC_ALL=C # bytes: a non-ASCII letter in a heading is kept as it is
dir=${1:?usage: link_check.sh DIR}

# "line<TAB>target" for each [text](target) and ![alt](target) outside fenced
# code and code spans (a span may run over lines, never past a blank line).
links() {
    awk '
        /^[ ]*(```|~~~)/ { fenced = !fenced; next }
        fenced { next }
        /^[ ]*$/ { in_span = 0; next }
        {
            text = ""
            for (i = 1; i <= length($0); i++) {
                c = substr($0, i, 1)
                if (c == "`") in_span = !in_span
                else if (!in_span) text = text c
            }
            while (match(text, /\]\([^ ()]+( "[^"]*")?\)/)) {
                target = substr(text, RSTART + 2, RLENGTH - 3)
                sub(/ ".*/, "", target)
                print NR "\t" target
                text = substr(text, RSTART + RLENGTH)
            }
        }' "$1"
}

# The anchor of each heading, as GitHub makes it: lower case, punctuation but
# "-" and "_" dropped, each space a "-", repeats numbered -1, -2, ...
anchors() {
    awk '
        /^[ ]*(```|~~~)/ { fenced = !fenced; next }
        fenced || !/^#+ / { next }
        {
            slug = tolower($0)
            sub(/^#+ +/, "", slug)
            sub(/ +#+ *$/, "", slug)
            gsub(/[^a-z0-9 _\200-\377-]/, "", slug)
            gsub(/ /, "-", slug)
            print (seen[slug]++ ? slug "-" seen[slug] - 1 : slug)
        }' "$1"
}

status=0
for page in "$dir/README.md" "$dir"/docs/*.md; do
    [ -e "$page" ] || { echo "$page: missing" && status=1 && continue; }
    while IFS=$'\t' read -r line target; do
        case $target in *://* | mailto:*) continue ;; esac
        path=${target%%#*}
        fragment=
        [[ $target == *#* ]] && fragment=${target#*#}
        resolved=$page
        [ -n "$path" ] && resolved="$(dirname "$page")/$path"
        where="${page#"$dir"/}:$line: $target"
        if [ ! -e "$resolved" ]; then
            echo "$where: no such file" && status=1
        elif [ -n "$fragment" ] && ! { [ -f "$resolved" ] && anchors "$resolved" | grep -qxF -- "$fragment"; }; then
            echo "$where: no such heading" && status=1
        fi
    done < <(links "$page")
done
exit $status
