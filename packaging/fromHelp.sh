#!/bin/sh
# fromHelp.sh man|completion TOOL TEMPLATE OUTPUT QOS_DIR
# Fills TEMPLATE from the tool's own --help and --version, so that the
# manual page's option list and the completion's options cannot drift from
# the option tables:
#   man         @OPTIONS@ (a line of its own) becomes one .TP entry per option;
#   completion  @OPTIONS@ every option name, @VALUED@ those that take a
#               value, @CHOICES@ case branches for the options whose help
#               lists their values ("Supported: a, b", "Payload: a, b"),
#               @OPERAND@ "file" when the usage line names an operand
#               ("Usage: lumoQuillreport REPORT.jsonl ..."), else empty;
# and in both @TOOL@, @VERSION@ (the first line of --version), @DATE@
# (SOURCE_DATE_EPOCH or today, UTC) and @QOS_DIR@.
set -eu
mode=$1 tool=$2 template=$3 output=$4
QOS_DIR=$5
# A build under AddressSanitizer must not fail on what it leaks at exit.
ASAN_OPTIONS=detect_leaks=0:new_delete_type_mismatch=0
export ASAN_OPTIONS QOS_DIR
help=$("$tool" --help)
VERSION=$("$tool" --version | head -n 1)
TOOL=${VERSION%% *}
DATE=$(date -u -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}" +%Y-%m-%d)
export VERSION TOOL DATE

# One line per option: short name, long name, the rest of the name column
# ("arg (=0)"), the description with its wrapped lines joined; tab-separated.
options=$(printf '%s\n' "$help" | awk '
    function flush() { if (name != "") print short "\t" long "\t" rest "\t" desc; name = "" }
    NR == 1 { next }
    /^$/ { flush(); exit }
    /^  -/ {
        flush()
        line = substr($0, 3)
        gap = index(line, "  ")
        name = gap ? substr(line, 1, gap - 1) : line
        desc = gap ? substr(line, gap) : ""
        sub(/^ +/, "", desc); sub(/ +$/, "", desc)
        short = ""; long = ""; rest = name
        if (match(name, /^-[A-Za-z0-9] \[ --[^ ]+ \]/)) {
            short = substr(name, 2, 1)
            long = substr(name, 8, RLENGTH - 9)
            rest = substr(name, RLENGTH + 1)
        } else if (match(name, /^--[^ ]+/)) {
            long = substr(name, 3, RLENGTH - 2)
            rest = substr(name, RLENGTH + 1)
        }
        sub(/^ +/, "", rest)
        next
    }
    /^   / {
        more = $0; sub(/^ +/, "", more); sub(/ +$/, "", more)
        desc = desc == "" ? more : desc " " more
    }
    END { flush() }')
[ -n "$options" ] || { echo "fromHelp.sh: no option found in $tool --help" >&2; exit 1; }

case $mode in
man)
    OPTIONS=$(printf '%s\n' "$options" | awk -F '\t' '
        # Roff: a backslash is written \e; a hyphen that begins a word (an
        # option name) is a minus sign, \-, so that it can be copied.
        function text(s,   out, n, i, words) {
            gsub(/\\/, "\\e", s)
            n = split(s, words, " ")
            out = ""
            for (i = 1; i <= n; i++) {
                if (words[i] ~ /^-/) gsub(/-/, "\\-", words[i])
                out = out (i > 1 ? " " : "") words[i]
            }
            return out
        }
        {
            long = $2; gsub(/-/, "\\-", long)
            head = ($1 != "" ? "\\fB\\-" $1 "\\fR, " : "") "\\fB\\-\\-" long "\\fR"
            rest = $3
            if (rest != "") {
                sub(/^arg/, "\\fIarg\\fR", rest)
                head = head " " rest
            }
            print ".TP"
            print head
            print text($4)
        }')
    ;;
completion)
    OPTIONS=$(printf '%s\n' "$options" | awk -F '\t' '{ printf "%s%s--%s", (NR > 1 ? " " : ""), ($1 != "" ? "-" $1 " " : ""), $2 }')
    VALUED=$(printf '%s\n' "$options" | awk -F '\t' '$3 ~ /^arg/ { printf "%s%s--%s", (n++ ? " " : ""), ($1 != "" ? "-" $1 " " : ""), $2 }')
    CHOICES=$(printf '%s\n' "$options" | awk -F '\t' '
        match($4, /(Supported|Payload): [A-Za-z0-9_, ]+$/) {
            list = substr($4, RSTART, RLENGTH); sub(/^[A-Za-z]+: /, "", list); gsub(/,/, "", list)
            printf "    --%s%s) words=\"%s\" ;;\n", $2, ($1 != "" ? " | -" $1 : ""), list
        }')
    # The usage line's word after the tool's name, when it is no option.
    OPERAND=$(printf '%s\n' "$help" | awk 'NR == 1 && match($0, /Usage: [^ ]+ [^- ]/) { print "file" }')
    export VALUED CHOICES OPERAND
    ;;
*)
    echo "fromHelp.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
export OPTIONS

MODE=$mode awk '
    $0 == "@OPTIONS@" && ENVIRON["MODE"] == "man" { print ENVIRON["OPTIONS"]; next }
    $0 == "@CHOICES@" { if (ENVIRON["CHOICES"] != "") print ENVIRON["CHOICES"]; next }
    {
        n = split("OPTIONS VALUED OPERAND TOOL VERSION DATE QOS_DIR", keys, " ")
        for (i = 1; i <= n; i++) {
            key = "@" keys[i] "@"
            while ((at = index($0, key)) > 0)
                $0 = substr($0, 1, at - 1) ENVIRON[keys[i]] substr($0, at + length(key))
        }
        print
    }' "$template" >"$output.tmp"
mv "$output.tmp" "$output"
