# CHANGELOG.md (Keep a Changelog) as a Debian changelog, for the .deb's
# changelog.gz: each "## [VERSION] - YYYY-MM-DD" section becomes one entry,
# its lines indented by two spaces; the text before the first version and a
# section without a version ([Unreleased]) are left out.  Debian's lines end
# by column 80, so those of CHANGELOG.md by column 78.
#   awk -v package=NAME -v maintainer='NAME <ADDRESS>' -f this CHANGELOG.md

function finish(   i, first, last, when, command) {
  if (version == "") {
    return
  }
  first = 1
  while (first <= count && body[first] == "") first++
  last = count
  while (last >= first && body[last] == "") last--
  print package " (" version ") unstable; urgency=medium"
  print ""
  for (i = first; i <= last; i++) {
    print (body[i] == "" ? "" : "  " body[i])
  }
  command = "LC_ALL=C date -u -d " date " '+%a, %d %b %Y %H:%M:%S +0000'"
  command | getline when
  close(command)
  print ""
  print " -- " maintainer "  " when
  print ""
  version = ""
}

/^## / {
  finish()
  count = 0
  if (match($0, /^## \[[^]]+\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)) {
    split($0, part, /[][]/)
    version = part[2]
    date = substr($0, length($0) - 9)
  }
  next
}

version != "" {
  body[++count] = $0
}

END {
  finish()
}
