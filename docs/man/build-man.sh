#!/bin/sh
# Builds one gzipped man page from its template: each line "<!-- guide: HEADING -->" becomes
# the body of that section of the guide, so the guide stays the one text of both.
# The man pages are Linux's: what the guide marks as Windows-only is left out, a whole block
# between the lines "<!-- windows -->" and "<!-- /windows -->", or a span between the two
# markers within a paragraph's lines. A reference to a section of the guide ("Log messages") becomes where
# that section lands: its heading in this page, its heading in the other page (the templates
# beside this one say which), or the guide.
# @VERSION@ becomes the version.
# Usage: build-man.sh TEMPLATE GUIDE GO_MD2MAN OUTPUT.gz VERSION
set -eu
template=$1 guide=$2 md2man=$3 output=$4 version=$5

expand() {
  awk -v guide="$guide" -v version="$version" -v template="$template" -v templates="$(ls "$(dirname "$template")"/*.md)" '
    function level(line) { match(line, /^#+ /); return RLENGTH - 1 }
    function page_of(line, words) {
      split(line, words, " ")
      return tolower(words[2]) "(" words[3] ")"
    }
    # "Log messages" -> DIAGNOSTICS, "Directives" -> DIRECTIVES in **orv.conf**(5), ...
    function reference(title, where, name) {
      where = home[title]
      if (where == this_page) return heading[title] != "" ? heading[title] : "\"" title "\""
      if (where == "") return "\"" title "\" in the operator'"'"'s guide"
      name = "**" substr(where, 1, index(where, "(") - 1) "**" substr(where, index(where, "("))
      return (heading[title] != "" ? heading[title] : "\"" title "\"") " in " name
    }
    function references(line, out, quoted) {
      out = ""
      while (match(line, /"[^"]+"/)) {
        quoted = substr(line, RSTART + 1, RLENGTH - 2)
        if (quoted in titled) quoted = reference(quoted)
        else quoted = "\"" quoted "\""
        out = out substr(line, 1, RSTART - 1) quoted
        line = substr(line, RSTART + RLENGTH)
      }
      return out line
    }
    BEGIN {
      fenced = 0
      windows = 0
      span = 0
      while ((getline line < guide) > 0) {
        if (line == "<!-- windows -->") { windows = 1; continue }
        if (line == "<!-- /windows -->") { windows = 0; continue }
        if (windows) continue
        # A span may run on over the following lines of its paragraph: what follows its end
        # continues the line it began on, and a line it empties goes, so that it ends no
        # paragraph.
        had_text = line ~ /[^ \t]/
        joined = 0
        if (span) {
          if (!index(line, "<!-- /windows -->")) continue
          line = text[n] substr(line, index(line, "<!-- /windows -->") + 17)
          n--
          joined = 1
          span = 0
        }
        gsub(/<!-- windows -->[^<]*<!-- \/windows -->/, "", line)
        if (index(line, "<!-- windows -->")) {
          line = substr(line, 1, index(line, "<!-- windows -->") - 1)
          span = 1
        }
        if (had_text && line !~ /[^ \t]/) continue
        n++
        text[n] = line
        if (!joined && line ~ /^```/) fenced = !fenced
        depth[n] = (!fenced && line ~ /^#+ /) ? level(line) : 0
        # go-md2man passes a text line on as it is, and roff takes one that starts with a quote
        # or a dot for a request: the line would vanish from the page.
        if (!fenced && line ~ /^[ \t]*[.'"'"']/) {
          print "build-man.sh: a line of the guide starts with a quote or a dot: " line > "/dev/stderr"
          exit 1
        }
        if (depth[n] > 1) titled[substr(line, depth[n] + 2)] = 1
      }
      # Where each section of the guide lands, by the templates; a subsection with its section.
      count = split(templates, files, "\n")
      for (f = 1; f <= count; f++) {
        while ((getline line < files[f]) > 0) {
          if (line ~ /^% /) page = page_of(line)
          if (line ~ /^# /) section = substr(line, 3)
          if (line ~ /^<!-- guide: .* -->$/) {
            title = substr(line, 13, length(line) - 16)
            home[title] = page
            heading[title] = section
          }
        }
        close(files[f])
        if (files[f] == template) this_page = page
      }
      holder = ""
      for (i = 1; i <= n; i++) {
        if (depth[i] == 0) continue
        title = substr(text[i], depth[i] + 2)
        if (title in home) { holder = title; holder_depth = depth[i] }
        else if (holder != "" && depth[i] > holder_depth) home[title] = home[holder]
        else holder = ""
      }
    }
    /^<!-- guide: .* -->$/ {
      title = substr($0, 13, length($0) - 16)
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
        print references(line rest)
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
