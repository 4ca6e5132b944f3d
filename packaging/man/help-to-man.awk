# Turns `qnr --help` into the body of the manual page qnr(1), so the page and
# the help are one text. The help's layout is what it reads:
#   line 1              "qnr: <what it does>"                 -> NAME
#   "usage:" and lines under it                                -> SYNOPSIS
#   text at column 0 before the first heading                  -> DESCRIPTION
#   a column-0 line ending in ":"                              -> a subsection of OPTIONS
#   "  -x, --name VALUE   what it does" (text from column 21,
#   or after two spaces), continued on more indented lines     -> a tagged paragraph
#   other text, at column 0 or 2                               -> a paragraph
# Variables: version (qnr's), date (the page's).
#
#   awk -v version=3.6.1 -v date=2026-12-09 -f help-to-man.awk help.txt > body.roff

function escape(text) {
  gsub(/\\/, "\\e", text)
  gsub(/-/, "\\-", text)
  if (text ~ /^[.']/) text = "\\&" text
  return text
}

# "-f, --format NAME": options in bold, the values they take in italics.
function tag(text,    words, n, i, out, word, comma) {
  n = split(text, words, " ")
  out = ""
  for (i = 1; i <= n; i++) {
    word = words[i]
    comma = ""
    if (word ~ /,$/) { comma = ","; word = substr(word, 1, length(word) - 1) }
    word = escape(word)
    word = (words[i] ~ /^-/) ? "\\fB" word "\\fR" : "\\fI" word "\\fR"
    out = out (i > 1 ? " " : "") word comma
  }
  return out
}

function start(section) {
  if (state != section) print ".SH " section
  state = section
}

function trim(text) {
  sub(/^ +/, "", text)
  sub(/ +$/, "", text)
  return text
}

BEGIN { state = ""; block = "" }

NR == 1 {
  print ".TH QNR 1 \"" date "\" \"qnr " version "\" \"User Commands\""
  print ".nh"    # option names and settings lines read badly hyphenated
  print ".ad l"
  print ".SH NAME"
  name = $0
  sub(/^qnr: */, "", name)
  print "qnr \\- " escape(name)
  next
}

# A blank line ends whatever block was open.
/^ *$/ { block = ""; next }

/^usage:$/ { print ".SH SYNOPSIS"; state = "SYNOPSIS"; block = "synopsis"; next }

block == "synopsis" {
  line = $0
  if (line ~ /^    /) {  # a continuation of the line above
    print escape(trim(line))
    next
  }
  if (synopsis_lines++ > 0) print ".br"
  line = trim(line)
  sub(/^qnr/, "", line)
  print "\\fBqnr\\fR" escape(line)
  next
}

# A heading: the options under it form a subsection.
/^[^ ].*:$/ {
  start("OPTIONS")
  heading = $0
  sub(/:$/, "", heading)
  gsub(/"/, "\\(dq", heading)
  print ".SS \"" toupper(substr(heading, 1, 1)) escape(substr(heading, 2)) "\""
  block = "heading"
  next
}

# An option and what it does.
/^  -/ {
  line = substr($0, 3)
  split_at = index(line, "  ")
  if (split_at > 0) {
    option = substr(line, 1, split_at - 1)
    text = trim(substr(line, split_at))
  } else if (length($0) > 20 && substr($0, 20, 1) == " ") {
    option = trim(substr($0, 3, 17))
    text = trim(substr($0, 21))
  } else {
    option = trim(line)
    text = ""
  }
  print ".TP"
  print tag(option)
  if (text != "") print escape(text)
  block = "option"
  next
}

# Deeper text goes on with the option above.
/^    / && block == "option" { print escape(trim($0)); next }

# Other text: a paragraph, or the next line of one.
{
  if (state == "" || state == "SYNOPSIS") start("DESCRIPTION")
  if (block != "paragraph") print ".PP"
  print escape(trim($0))
  block = "paragraph"
}
