#!/usr/bin/env bash
# Checks the Debian package: usage: check_deb.sh PACKAGE_DIR VERSION BUILT_CONSOLE.
# Unpacks vx4pult_VERSION_<arch>.deb into a temporary root (dpkg -x) and checks its contents,
# the owner and mode of every entry, its control fields and, when lintian is installed, its
# findings; then that the root's console, started with its menu entry's command
# line from an empty folder, finds its option banks in the root's data folder; that every program
# answers --version, the manual pages render and the bash completion offers the commands; that vx4ctl
# --help runs; and that the root's vx4sim answers the root's vx4ctl identify.
set -uo pipefail
pkgdir=$1 version=$2 built=$3
arch=$(dpkg --print-architecture)
deb="$pkgdir/vx4pult_${version}_${arch}.deb"
fail() { echo "package check: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "$deb is missing: run scripts/package"
[ "$deb" -nt "$built" ] || fail "$deb is older than $built: run scripts/package"

work=$(mktemp -d)
simpid=""
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
root="$work/root"
dpkg -x "$deb" "$root" || fail "dpkg -x $deb failed"

desktop=usr/share/applications/vx4pult.desktop
for f in usr/bin/vx4pult usr/bin/vx4ctl usr/bin/vx4sim \
         usr/share/vx4pult/constbank.xml usr/share/vx4pult/calcbank.xml \
         "usr/share/vx4pult/Matrix/карта_параметров_шаблон.dotx" "usr/share/vx4pult/Matrix/GIGE_шаблон.dotx" \
         "$desktop" usr/share/icons/hicolor/scalable/apps/vx4pult.svg \
         "lib/systemd/system/vx4ctl-publish@.service" usr/share/doc/vx4pult/examples/publish.conf; do
  [ -e "$root/$f" ] || fail "the package has no /$f"
done
for p in usr/bin/vx4pult usr/bin/vx4ctl usr/bin/vx4sim; do
  [ -x "$root/$p" ] || fail "/$p is not executable"
done
for f in usr/share/doc/vx4pult/copyright usr/share/doc/vx4pult/changelog.gz; do
  [ -f "$root/$f" ] || fail "the package has no /$f"
done

# Owners and modes, as the archive holds them (dpkg -x applies the umask): everything
# root:root, folders 0755, programs 0755, everything else 0644. A new kind of program
# (a plug-in another program loads and runs, say) gets its pattern in expected_mode.
expected_mode() {
  case "$1" in
    */) echo drwxr-xr-x ;;
    ./usr/bin/* | ./usr/lib/*/wireshark/extcap/*) echo -rwxr-xr-x ;;
    *) echo -rw-r--r-- ;;
  esac
}
listing=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c $deb failed"
while read -r mode owner _size _date _time path rest; do
  [ -z "$rest" ] || fail "unexpected entry (a link or a name with blanks): $mode $path $rest"
  [ "$owner" = root/root ] || fail "$path belongs to $owner, not root/root"
  want=$(expected_mode "$path")
  [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
done <<<"$listing"

# Lintian, when installed: each finding is either mended or overridden with its reason in
# packaging/lintian-overrides. Its findings of every level down to "info" count.
if command -v lintian >/dev/null; then
  findings=$(lintian --tag-display-limit 0 --display-info "$deb" 2>"$work/lintian.err")
  rc=$?
  [ -z "$findings" ] || fail "lintian findings:
$findings"
  [ $rc -eq 0 ] || fail "lintian failed ($rc): $(cat "$work/lintian.err")"
else
  echo "package check: lintian is not installed; its check is skipped" >&2
fi

# Wireshark: the dissector in its global Lua plugin folder, the capture program in its extcap
# folder; Wireshark itself only suggested.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
[ -f "$root/usr/lib/$multiarch/wireshark/plugins/vx4.lua" ] || fail "the package has no Wireshark dissector"
[ -x "$root/usr/lib/$multiarch/wireshark/extcap/vx4-extcap" ] || fail "the package has no Wireshark extcap program"
grep -q "wireshark" <<<"$(dpkg-deb -f "$deb" Suggests)" || fail "Suggests does not name wireshark"
! grep -q "wireshark" <<<"$(dpkg-deb -f "$deb" Depends)" || fail "Depends names wireshark"

# Control fields: the library packages come from dpkg-shlibdeps.
[ "$(dpkg-deb -f "$deb" Package)" = vx4pult ] || fail "package name is not vx4pult"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libxml2 libpaho-mqtt1.3 libstdc++6 libc6; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
desktop-file-validate "$root/$desktop" || fail "the menu entry is not valid"

# The console, by the menu entry's command line (field codes dropped), from an empty folder
# with an empty home: it must find both banks in the root's data folder.
cmd=$(sed -n 's/^Exec=//p' "$root/$desktop" | sed -E 's/ %[a-zA-Z]//g')
[ -n "$cmd" ] || fail "the menu entry has no Exec line"
mkdir -p "$work/cwd" "$work/home"
clean_env=(env -i PATH="$root/usr/bin:/usr/bin:/bin" HOME="$work/home" LANG=C.UTF-8)
out=$(cd "$work/cwd" && "${clean_env[@]}" QT_QPA_PLATFORM=offscreen VX4PULT_CHECK_START=1 \
      timeout 120 $cmd 2>"$work/console.err")
rc=$?
[ $rc -eq 0 ] || fail "the console ($cmd) exited with $rc: $out $(cat "$work/console.err")"
for bank in calcbank.xml constbank.xml; do
  grep -qx "$bank: $root/usr/share/vx4pult/$bank" <<<"$out" ||
    fail "the console did not read $bank from the package's data folder: $out"
done

# vx4ctl
help=$("${clean_env[@]}" "$root/usr/bin/vx4ctl" --help) || fail "vx4ctl --help failed"
grep -q "identify" <<<"$help" || fail "vx4ctl --help lists no commands: $help"

# Every program answers --version with its name and the package's version.
for p in usr/bin/vx4pult usr/bin/vx4ctl usr/bin/vx4sim "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null ||
                                                         echo x86_64-linux-gnu)/wireshark/extcap/vx4-extcap"; do
  v=$("${clean_env[@]}" "$root/$p" --version) || fail "$p --version failed"
  [ "$v" = "$(basename "$p") $version" ] || fail "$p --version printed '$v', not '$(basename "$p") $version'"
done

# Manual pages for the four programs; man renders each from the package.
for p in vx4pult vx4ctl vx4sim vx4-extcap; do
  page="$root/usr/share/man/man1/$p.1.gz"
  [ -f "$page" ] || fail "the package has no manual page /usr/share/man/man1/$p.1.gz"
  text=$(MANWIDTH=80 man -l "$page" 2>"$work/man.err") || fail "man cannot show $p.1.gz: $(cat "$work/man.err")"
  grep -q -- "--version" <<<"$text" || fail "the manual page of $p does not show its options: $text"
done

# bash completion for vx4ctl: loaded by bash-completion, it offers the commands.
completion="$root/usr/share/bash-completion/completions/vx4ctl"
[ -f "$completion" ] || fail "the package has no bash completion for vx4ctl"
words=$(PATH="$root/usr/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion 2>/dev/null
  source "$1"
  COMP_WORDS=(vx4ctl id); COMP_CWORD=1; COMP_LINE="vx4ctl id"; COMP_POINT=${#COMP_LINE}
  _vx4ctl; echo "${COMPREPLY[*]}"' _ "$completion") || fail "the bash completion does not load"
[ "$words" = identify ] || fail "the bash completion offers '$words' for 'vx4ctl id', not identify"

# vx4sim answers vx4ctl identify.
"${clean_env[@]}" "$root/usr/bin/vx4sim" --tcp 127.0.0.1:0 >"$work/sim.log" 2>&1 &
simpid=$!
port=""
for _ in $(seq 1 200); do
  line=$(head -n1 "$work/sim.log" 2>/dev/null)
  if [[ "$line" =~ ^listening\ tcp\ 127\.0\.0\.1:([0-9]+) ]]; then port=${BASH_REMATCH[1]}; break; fi
  kill -0 "$simpid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "vx4sim did not start: $(cat "$work/sim.log")"
id=$(cd "$work/cwd" && "${clean_env[@]}" timeout 60 "$root/usr/bin/vx4ctl" --port "127.0.0.1:$port" --dev 0 --json identify) ||
  fail "vx4ctl identify failed: $id"
grep -q '"serial"' <<<"$id" || fail "identify printed no serial number: $id"

echo "package check: $deb passed"
