#!/bin/sh
# Builds one gzipped man page from its template: each line "<!-- guide: HEADING -->" becomes
# the body of that section of the guide, so the guide stays the one text of both; @VERSION@
# becomes the version.
# Usage: build-man.sh TEMPLATE GUIDE GO_MD2MAN OUTPUT.gz VERSION
set -eu
template=$1 guide=$2 md2man=$3 output=$4 version=$5

expand() {
  awk -v guide="$guide" -v version="$version" '
    function level(line) { match(line, /^#+ /); return RLENGTH - 1 }
    BEGIN {
      fenced = 0
      while ((getline line < guide) > 0) {
        n++
        text[n] = line
        if (line ~ /^```/) fenced = !fenced
        depth[n] = (!fenced && line ~ /^#+ /) ? level(line) : 0
      }
    }
    /^<!-- guide: .* -->$/ {
      title = $0
      sub(/^<!-- guide: /, "", title)
      sub(/ -->$/, "", title)
      start = 0
      for (i = 1; i <= n; i++) {
        if (depth[i] > 0 && substr(text[i], depth[i] + 2) == title) { start = i; break }
      }
      if (start == 0) {
        print "build-man.sh: the guide has no section \"" title "\"" > "/dev/stderr"
        exit 1
      }
      for (i = start + 1; i <= n && (depth[i] == 0 || depth[i] > depth[start]); i++) {
        line = text[i]
        # Subsections become the page'"'"'s subsections (###, .SS).
        if (depth[i] > 0) line = "###" substr(line, depth[i] + 1)
        # Links within the guide or to its neighbours mean nothing in a man page: their text
        # stays. Web links stay whole.
        rest = line
        line = ""
        while (match(rest, /\[[^]]*\]\([^)]*\)/)) {
          link = substr(rest, RSTART, RLENGTH)
          if (link !~ /\]\(https?:/) {
            sub(/\]\(.*/, "", link)
            sub(/^\[/, "", link)
          }
          line = line substr(rest, 1, RSTART - 1) link
          rest = substr(rest, RSTART + RLENGTH)
        }
        line = line rest
        print line
      }
      next
    }
    { gsub(/@VERSION@/, version); print }
  ' "$template"
}

mkdir -p "$(dirname "$output")"
page=$(mktemp)
trap 'rm -f "$page" "$page.md"' EXIT
expand >"$page.md"
"$md2man" -in "$page.md" -out "$page"
gzip -9n -c "$page" >"$output"
