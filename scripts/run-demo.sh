#!/usr/bin/env bash
# Installs what is needed, builds the writer and the simulated board, and opens the
# writer against the board in a demo folder of its own. Without a display (a server, a
# container, a CI runner) it runs a short command-line session against the board instead
# and exits 0 when every step ended as expected.
#   demo-run/otpwriter          a copy of the program
#   demo-run/otpwriter-cli      a copy of the command line
#   demo-run/m_otp.630, .150    demo monitor files, made for the simulated board only
#   demo-run/sample.mhx         an S-record file, already in the Hex File box
#   demo-run/DATAFILE.TXT       settings whose COM1 is the board's pseudo-terminal
#   demo-run/line-trace.txt     every byte on the line, with its time
# The board is paced at the bit rate the writer sets, 10 bits a byte, as a real line is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build-demo"
cmake -S "$root" -B "$build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release -DOTP_BUILD_TESTS=OFF \
  > /dev/null
cmake --build "$build" -j "$(nproc)" --target otpwriter otpwriter-cli otp-target-sim

demo="$root/demo-run"
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/otpwriter" "$build/otpwriter-cli" "$root/demo/m_otp.630" "$root/demo/m_otp.150" "$root/demo/sample.mhx" \
  "$demo/"
cat > "$demo/DATAFILE.TXT" <<SETTINGS
[Ports]
COM1=$demo/ttyBOARD
[Recent]
CPU=1
RATE=2
COM=1
Write File=$demo/sample.mhx
SETTINGS

"$build/otp-target-sim" --link "$demo/ttyBOARD" --pace --trace "$demo/line-trace.txt" &
board=$!
trap 'kill "$board" 2> /dev/null || true' EXIT
for _ in $(seq 100); do
  [ -e "$demo/ttyBOARD" ] && break
  sleep 0.05
done

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$demo/otpwriter"
  exit 0
fi

echo "No display: a command-line session against the simulated board instead."
cd "$demo"
failures=0
# Runs one step: prints the command and the exit status it should end with, then runs it.
step() {
  local expected=$1
  shift
  echo
  echo "\$ otpwriter-cli $*      (expected exit status: $expected)"
  local status=0
  "$demo/otpwriter-cli" "$@" || status=$?
  if [ "$status" -eq "$expected" ]; then
    echo "-> exit status $status, as expected"
  else
    echo "-> exit status $status, expected $expected" >&2
    failures=$((failures + 1))
  fi
}
# The board is ready at once: no one is there to press its reset button.
step 0 ports
step 0 info sample.mhx
step 0 --reset none program sample.mhx
step 0 --reset none compare sample.mhx
step 0 --reset none read readback.mhx
# The same file with one more record that puts 0xA5 at 0xC000: the device differs.
{ cat sample.mhx; echo S104C000A596; } > changed.mhx
step 1 --reset none compare changed.mhx
echo
if [ "$failures" -ne 0 ]; then
  echo "$failures step(s) did not end as expected" >&2
  exit 1
fi
echo "Every step ended as expected."
