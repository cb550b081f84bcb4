#!/usr/bin/env bash
# A stand-in apt-get fails update on one index, as a mirror in mid-sync does,
# and fails the first install, as the resolver then does. The apt steps must go
# on, retry exactly once with that suite pinned low, and write nothing under the
# apt directory they are given. With a resolver that fails both times, they must
# stop and name the failed index.
set -euo pipefail
steps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/apt/preferences.d" "$work/apt/sources.list.d"
echo 'deb http://mirror.invalid/debian bookworm main' >"$work/apt/sources.list"
index=http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz

cat >"$work/bin/apt-get" <<STANDIN
#!/usr/bin/env bash
echo "call: \$*" >>"$work/calls"
for a in "\$@"; do
  case \$a in
    Dir::Etc::Preferences=*) f=\${a#*=}; cat "\$f" >>"$work/calls"; echo "prefs: \$f" >>"$work/calls" ;;
  esac
done
case " \$* " in
  *" update "*)
    echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" install "*)
    if [ -z "\${f:-}" ] || [ -n "\${FAIL_ALWAYS:-}" ]; then
      echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
    fi ;;
esac
STANDIN
chmod +x "$work/bin/apt-get"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/dpkg-query"
cp "$work/bin/dpkg-query" "$work/bin/apt-cache"
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-cache"

fail() { echo "FAIL: $*" >&2; exit 1; }
before=$(cd "$work/apt" && find . -printf '%p %s %T@\n' | sort)

run() {  # the steps in a fresh shell, as bootstrap runs them
  rm -f "$work/calls"
  PATH="$work/bin:$PATH" APT_DIR="$work/apt" bash -c '. "$1"; apt_update; apt_install wine32:i386 zlib1g-dev' _ "$steps"
}

out=$(run 2>&1) || fail "the steps did not finish: $out"
grep -qF "failed index: $index" <<<"$out" || fail "the warning does not name the index: $out"
[ "$(grep -c '^call: .* install ' "$work/calls")" = 2 ] || fail "install was not tried exactly twice"
grep -A1 -x 'Pin: release n=bookworm-security' "$work/calls" | grep -qx 'Pin-Priority: 100' ||
  fail "the retry did not pin bookworm-security low"
prefs=$(sed -n 's/^prefs: //p' "$work/calls")
case $prefs in "$work/apt"/*) fail "the preferences file was under the apt directory" ;; esac
[ ! -e "$prefs" ] || fail "the preferences file was left behind"

out=$(FAIL_ALWAYS=1 run 2>&1) && fail "a resolver failing twice was taken for success"
[ "$(grep -c '^call: .* install ' "$work/calls")" = 2 ] || fail "install was not tried exactly twice"
grep -q "could not give this index" <<<"$out" && grep -qF "$index" <<<"$out" ||
  fail "the final message does not name the index: $out"

[ "$(cd "$work/apt" && find . -printf '%p %s %T@\n' | sort)" = "$before" ] ||
  fail "something was written under the apt directory"
echo "bootstrap apt steps: 2 passed, 0 failed"
