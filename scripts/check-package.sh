#!/usr/bin/env bash
# Installs a build into a staging folder and checks what a desktop and Debian expect of
# it, then builds the Debian package, checks it with lintian, unpacks it into a folder
# and runs the command line from there, also as another user as an installed program.
#   check-package.sh BUILD_FOLDER
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"  # the other user runs the program from here

echo "=== install and package"
staged="$scratch/staged"
DESTDIR="$staged" cmake --install "$build" --prefix /usr > /dev/null
desktop-file-validate "$staged"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$staged"/usr/share/metainfo/*.metainfo.xml
for size in 16 24 32 48 64 128 256; do
  icon="$staged/usr/share/icons/hicolor/${size}x$size/apps/org.otpwriter.OtpWriter.png"
  file "$icon" | grep -q "PNG image data, $size x $size" || { echo "bad icon $icon"; exit 1; }
done
# The completion offers the commands that begin with what was typed.
offered=$(bash -c 'source /usr/share/bash-completion/bash_completion
  source "$1"
  COMP_WORDS=(otpwriter-cli --json pro); COMP_CWORD=2
  COMP_LINE="otpwriter-cli --json pro"; COMP_POINT=${#COMP_LINE}
  _otpwriter_cli; echo "${COMPREPLY[*]}"' _ "$staged/usr/share/bash-completion/completions/otpwriter-cli")
[ "$offered" = "program produce" ] || { echo "completion offered: $offered"; exit 1; }

rm -f "$build"/otpwriter_*.deb
(cd "$build" && cpack -G DEB > "$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$build"/otpwriter_*_amd64.deb)
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
status=0
lintian --fail-on error "$deb" > "$scratch/lintian.log" 2>&1 || status=$?
grep -v "running with root privileges" "$scratch/lintian.log" || true
[ "$status" -eq 0 ] || { echo "lintian found errors"; exit 1; }

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/otpwriter-cli" --version
"$root/usr/bin/otpwriter-cli" info "$(dirname "$0")/../demo/sample.mhx"
# Run by a user who may not write the program's folder: the user's folders are used.
if [ "$(id -u)" -eq 0 ] && command -v setpriv > /dev/null; then
  where=$(setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$scratch/home" XDG_CONFIG_HOME= "$root/usr/bin/otpwriter-cli" --version -v)
  echo "$where"
  grep -Eq "^settings file +$scratch/home/.config/otpwriter/DATAFILE.TXT$" <<< "$where" ||
    { echo "the installed program does not keep its settings in the user's folder"; exit 1; }
fi
