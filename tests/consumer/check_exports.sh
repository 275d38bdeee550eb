#!/bin/sh
# What the shared library exports must be exactly what the public headers
# declare KESTRUM_API: a private helper that escapes becomes an interface
# users come to rely on, and a public declaration without an exported
# definition is a link error in every user's program.
# usage: check_exports.sh CC NM SHARED_LIBRARY PUBLIC_HEADER_DIR
set -eu
cc=$1 nm=$2 library=$3 headers=$4
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The file-scope declarations of the public headers as a C compiler sees them
# (C++-only branches gone), one a line: "api NAME" when marked KESTRUM_API
# (by its visibility attribute), "plain NAME" otherwise. A declaration is a
# statement with a parameter list, or one that begins with extern; typedefs
# and static inline helpers are not part of the exported interface.
for h in "$headers"/*.h; do echo "#include \"$h\""; done |
  "$cc" -E -I"$headers/.." -x c - |
  awk -v dir="$headers/" -v textfile="$work/text" '
    function declared(s,    p, rest) {
      p = index(s, "(")
      if (p) {
        rest = substr(s, p)
        if (match(rest, /^\([ \t]*\*[ \t]*[A-Za-z_][A-Za-z_0-9]*[ \t]*\)[ \t]*\(/)) {
          rest = substr(rest, 1, RLENGTH)
          gsub(/[^A-Za-z_0-9]/, "", rest)
          return rest
        }
        s = substr(s, 1, p - 1)
      } else if (index(s, "[")) {
        s = substr(s, 1, index(s, "[") - 1)
      }
      return match(s, /[A-Za-z_][A-Za-z_0-9]*[ \t]*$/) ? substr(s, RSTART, RLENGTH) : ""
    }
    /^# [0-9]+ "/ { split($0, q, "\""); ours = index(q[2], dir) == 1; next }
    ours { text = text " " $0 }
    END {
      gsub(/__attribute__\(\(visibility\("default"\)\)\)/, " @API@ ", text)
      gsub(/__attribute__\(\([a-z_]+(\([^()]*\))?\)\)/, " ", text)
      print text > textfile
      for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c != ";" && c != "{" && c != "}") { statement = statement c; continue }
        if (depth == 0 && c != "}" && (statement ~ /\(/ || statement ~ /^[ \t]*extern[ \t]/) &&
            statement !~ /^[ \t]*(typedef|static)[ \t]/) {
          name = declared(statement)
          sub(/[ \t]+$/, "", name)
          print (statement ~ /@API@/ ? "api " : "plain ") name
        }
        statement = ""
        depth += c == "{" ? 1 : c == "}" ? -1 : 0
      }
    }' > "$work/declarations"
awk '$1 == "api" && $2 != "" { print $2 }' "$work/declarations" | sort -u > "$work/api"
"$nm" -D -C --defined-only "$library" > "$work/nm"
awk '{ $1 = $2 = ""; sub(/^ +/, ""); sub(/@.*/, ""); if ($0 != "") print }' "$work/nm" | sort -u > "$work/exported"

# Without these a scan that found nothing would pass every check below.
for name in pm_error pm_plain_output format_family pbm_readpbm pgm_writepgm ppm_readppm \
            ppm_computecolorhist optParseOptions3; do
  grep -qx "$name" "$work/api" || fail "$name: no KESTRUM_API declaration found"
  grep -qx "$name" "$work/exported" || fail "$name: not exported"
done
if grep -qx '[a-z]* *' "$work/declarations"; then fail "a declaration whose name was not found"; fi

# Without the mark a public function is hidden from every user of the shared
# library while the static one still offers it.
for name in $(awk '$1 == "plain" { print $2 }' "$work/declarations"); do
  fail "$name is declared in a public header without KESTRUM_API"
done
for name in $(comm -23 "$work/exported" "$work/api"); do
  fail "$name is exported but not declared KESTRUM_API in a public header"
done
for name in $(comm -13 "$work/exported" "$work/api"); do
  fail "$name is declared KESTRUM_API but the shared library does not export it"
done
# The prefixes are what the linker version script lets through; format_family
# is named after the format code it classifies.
for name in $(grep -Ev '^((pm|pbm|pgm|ppm)_[A-Za-z0-9_]+|opt[A-Z][A-Za-z0-9_]*|format_family)$' "$work/api"); do
  fail "$name has no family prefix"
done
# The library's private helpers and state: neither exported (under any
# namespace or signature) nor named in a public header.
for name in pm_progname pm_showmessages showVersion mallocProduct \
            optFatal optFatalFunc optExecute optMatch optString optNeedsArgument optStructCount \
            zero_specified parse_long_option parse_short_option_token argvRemove \
            getbit putus ppm_writeppmrowraw ppm_writeppmrowplain pgm_writepgmrowraw pgm_writepgmrowplain \
            computecolorhash colorHashSize custom_cmp custom_stub pixel_cmp; do
  if grep -qw "$name" "$work/text"; then fail "$name is named in a public header"; fi
  if grep -w "$name" "$work/exported"; then fail "$name is exported"; fi
done
[ "$status" -eq 0 ] && echo "checked $(wc -l < "$work/api") exported names"
exit "$status"
