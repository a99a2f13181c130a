# Turns docs/manpages.txt into man(7) pages, one file NAME.SECTION per @page, in folder `out`.
#   awk -v out=DIR -v version=2.6.4 -f packaging/manpages.awk docs/manpages.txt
# The markup is described at the top of the source. Text is passed on as roff (so "\-" is a
# minus sign); a line that would start with a roff control character is protected.

function text(s) {
    while (match(s, /`[^`]*`/))
        s = substr(s, 1, RSTART - 1) "\\fB" substr(s, RSTART + 1, RLENGTH - 2) "\\fR" \
            substr(s, RSTART + RLENGTH)
    if (s ~ /^[.']/) s = "\\&" s
    return s
}

function put(s) { print s > file }

function endLiteral() {
    if (literal) put(".fi")
    literal = 0
}

function emit(line,    i) {
    if (line ~ /^@use /) {
        name = substr(line, 6)
        if (!(name in count)) { print "manpages: no block " name > "/dev/stderr"; failed = 1; return }
        for (i = 1; i <= count[name]; i++) emit(block[name, i])
        return
    }
    if (line ~ /^\| /) {
        if (!literal) { if (!start) put(".PP"); put(".nf"); literal = 1 }
        put(text(substr(line, 3)))
        start = 0
        return
    }
    endLiteral()
    if (line ~ /^# /) { put(".SH " substr(line, 3)); start = 1; item = 0; return }
    if (line ~ /^## /) { put(".SS " substr(line, 4)); start = 1; item = 0; return }
    if (line ~ /^\* /) { put(".TP"); put("\\fB" substr(line, 3) "\\fR"); item = 1; start = 0; return }
    if (line ~ /^[ \t]*$/) { para = 1; item = 0; return }
    if (para && !start && !item) put(".PP")
    para = 0
    start = 0
    put(text(line))
}

BEGIN { mode = "note"; failed = 0 }

/^@shared / { mode = "shared"; name = $2; count[name] = 0; next }
/^@end$/ { mode = "none"; next }
/^@page / {
    mode = "page"; pages++
    pageName[pages] = $2; pageSection[pages] = $3; lines[pages] = 0
    next
}
mode == "shared" { block[name, ++count[name]] = $0; next }
mode == "page" { pageLine[pages, ++lines[pages]] = $0; next }

END {
    for (p = 1; p <= pages; p++) {
        file = out "/" pageName[p] "." pageSection[p]
        put(".\\\" Generated from docs/manpages.txt; edit that file.")
        put(".TH " toupper(pageName[p]) " " pageSection[p] " \"\" \"Kelvora " version "\" \"Kelvora\"")
        literal = 0; para = 0; start = 1; item = 0
        for (i = 1; i <= lines[p]; i++) emit(pageLine[p, i])
        endLiteral()
        close(file)
    }
    exit failed
}
