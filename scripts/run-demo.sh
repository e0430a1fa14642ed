#!/usr/bin/env bash
# Installs what is needed, builds the writer and the simulated board, and opens the
# writer against the board in a demo folder of its own:
#   demo-run/otpwriter          a copy of the program
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
cmake --build "$build" -j "$(nproc)" --target otpwriter otp-target-sim

demo="$root/demo-run"
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/otpwriter" "$root/demo/m_otp.630" "$root/demo/m_otp.150" "$root/demo/sample.mhx" \
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

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display to open the window on: run this in a desktop session" \
       "(or under Xvfb with DISPLAY set)." >&2
  exit 1
fi
"$demo/otpwriter"
