# The apt steps of scripts/bootstrap, sourced by it (and by its test, with a
# stand-in apt-get on the PATH). A Debian mirror caught half-way through a sync
# serves an index whose size does not match its Release file; apt-get update
# then fails for that one index. That is a warning here, not the end: the
# install goes on with what apt has, and when the architectures' candidates
# then differ (the suite's amd64 index is newer than its i386 one), the install
# is tried once more with that suite below the others, through a preferences
# file given to that one command. Nothing is written under $APT_DIR.
#
#   APT_DIR               apt's configuration directory (default /etc/apt)
#   apt_update            apt-get update; fills failed_indexes and failed_suites
#   apt_install PKG...    apt-get install, retried once as above
#   apt_source PKG DIR    a source package's files into DIR

APT_DIR=${APT_DIR:-/etc/apt}
failed_indexes=()
failed_suites=()

apt_say() { echo "bootstrap: $*" >&2; }

apt_update() {
  local out rc=0 url suite
  out=$(apt-get -o Dir::Etc="$APT_DIR" update -qq 2>&1) || rc=$?
  while IFS= read -r url; do
    [ -n "$url" ] || continue
    failed_indexes+=("$url")
    suite=$(printf '%s\n' "$url" | sed -n 's#.*/dists/\([^/]*\)/.*#\1#p')
    if [ -n "$suite" ] && [[ " ${failed_suites[*]} " != *" $suite "* ]]; then
      failed_suites+=("$suite")
    fi
  done < <(printf '%s\n' "$out" | sed -n 's/^\(E\|W\|Err\):.*Failed to fetch \([^ ]*\).*/\2/p')
  if [ $rc != 0 ] || [ ${#failed_indexes[@]} -gt 0 ]; then
    apt_say "warning: apt-get update did not fetch every index; going on with the package lists apt has"
    if [ ${#failed_indexes[@]} -gt 0 ]; then
      printf 'bootstrap:   failed index: %s\n' "${failed_indexes[@]}" >&2
    else
      printf '%s\n' "$out" | sed 's/^/bootstrap:   /' >&2
    fi
  fi
  return 0
}

# Multi-arch packages of this machine whose version for i386 differs from the
# one the native architecture has or would take under the preferences given as
# $1: what the resolver could not match.
apt_unmatched() {
  local pkgs
  pkgs=$(dpkg-query -W -f='${Package} ${Multi-Arch}\n' 2>/dev/null | awk '$2 == "same" { print $1 }' | sort -u)
  [ -n "$pkgs" ] || return 0
  # shellcheck disable=SC2086
  apt-cache -o Dir::Etc="$APT_DIR" -o Dir::Etc::Preferences="$1" policy $pkgs $(printf '%s:i386 ' $pkgs) 2>/dev/null | awk '
    /^[^ ]/ { name = $1; sub(/:$/, "", name); next }
    /Candidate:/ { cand[name] = $2 }
    END {
      for (n in cand) {
        if (n ~ /:i386$/) continue
        i = cand[n ":i386"]
        if (i != "" && i != "(none)" && cand[n] != i)
          printf "bootstrap:   %s: %s for the native architecture, %s for i386\n", n, cand[n], i
      }
    }' >&2 || true
}

apt_install() {
  local out rc=0 tmp s
  out=$(DEBIAN_FRONTEND=noninteractive apt-get -o Dir::Etc="$APT_DIR" install -y -qq \
        --no-install-recommends "$@" 2>&1 >/dev/null) || rc=$?
  [ $rc != 0 ] || return 0
  if [ ${#failed_suites[@]} = 0 ]; then
    printf '%s\n' "$out" >&2
    apt_say "apt-get install failed (above)"
    return 1
  fi
  apt_say "apt-get install failed with an incomplete index of ${failed_suites[*]}; trying once more with ${failed_suites[*]} below the other suites"
  tmp=$(mktemp -d)
  for s in "${failed_suites[@]}"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\nPackage: *\nPin: release a=%s\nPin-Priority: 100\n\n' "$s" "$s"
  done >"$tmp/preferences"
  rc=0
  out=$(DEBIAN_FRONTEND=noninteractive apt-get -o Dir::Etc="$APT_DIR" \
        -o Dir::Etc::Preferences="$tmp/preferences" install -y -qq \
        --no-install-recommends "$@" 2>&1 >/dev/null) || rc=$?
  [ $rc != 0 ] || { rm -rf "$tmp"; return 0; }
  printf '%s\n' "$out" | grep -v '^ *$' | sed 's/^/bootstrap:   /' >&2
  apt_say "apt-get install failed again (above). The mirror could not give this index:"
  printf 'bootstrap:   %s\n' "${failed_indexes[@]}" >&2
  apt_say "and these packages have no version that both architectures can take:"
  apt_unmatched "$tmp/preferences"
  rm -rf "$tmp"
  apt_say "wait until the mirror has finished its sync, or name another mirror in $APT_DIR/sources.list(.d), then run scripts/bootstrap again"
  return 1
}

# The newest version whose files the mirror serves: a half-synced mirror may
# list a version it does not have yet, so older listed ones are tried too.
apt_source() {
  local pkg=$1 dir=$2 v
  if (cd "$dir" && apt-get -o Dir::Etc="$APT_DIR" source -qq --download-only "$pkg" >/dev/null 2>&1); then
    return 0
  fi
  for v in $(apt-cache -o Dir::Etc="$APT_DIR" showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV); do
    rm -f "$dir"/*
    if (cd "$dir" && apt-get -o Dir::Etc="$APT_DIR" source -qq --download-only "$pkg=$v" >/dev/null 2>&1); then
      return 0
    fi
  done
  apt_say "could not fetch the source package $pkg${failed_indexes[*]:+ (failed index: ${failed_indexes[*]})}"
  return 1
}
