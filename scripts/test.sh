#!/usr/bin/env bash
# Installs what is needed, starts a PostgreSQL server for the production store's tests on a
# free port (stopped at the end), then builds the writer twice and runs every test in each
# build: a normal build, and one with AddressSanitizer and UndefinedBehaviorSanitizer.
# The first build is also installed and packaged, and the package checked; the plain
# layers are cross-built for Windows and their unit tests run under Wine. Then the tests
# that use threads (pseudo-terminals, the simulated board) run once more under
# ThreadSanitizer, and last the fuzz targets run a fixed number of inputs each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)

# A PostgreSQL server of the tests' own, for the production store's tests.
server=$("$root/scripts/postgres-for-tests.sh" start free)
server_folder=${server%% *}
export OTP_TEST_POSTGRES=${server#* }
scratch=$(mktemp -d)
trap '"$root/scripts/postgres-for-tests.sh" stop "$server_folder"; rm -rf "$scratch"' EXIT

run_build() {
  local name=$1
  shift
  echo "=== build-$name"
  cmake -S "$root" -B "$root/build-$name" -G Ninja -Wno-dev "$@" > /dev/null
  cmake --build "$root/build-$name" -j "$jobs"
  (cd "$root/build-$name" && ctest --output-on-failure -j "$jobs")
}

run_build test -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The command line is the engine without a window: it must not pull in Qt Widgets.
if ldd "$root/build-test/otpwriter-cli" | grep -q Widgets; then
  echo "otpwriter-cli links Qt Widgets"
  exit 1
fi
"$root/scripts/check-package.sh" "$root/build-test"

echo "=== Windows: the plain layers cross-built, their unit tests under Wine"
cmake -S "$root" -B "$root/build-win" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$root/build-win" -j "$jobs"
WINEPREFIX="$scratch/wine" WINEDEBUG=-all ctest --test-dir "$root/build-win" --output-on-failure

# One build with AddressSanitizer and UndefinedBehaviorSanitizer together. The C library
# keeps the message catalogues it loads for a process's whole life.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
run_build asan -DCMAKE_BUILD_TYPE=Debug -DOTP_SANITIZE=address,undefined -DOTP_BUILD_BENCHMARKS=OFF
unset LSAN_OPTIONS

echo "=== build-tsan (the tests that use threads)"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOTP_SANITIZE=thread > /dev/null
cmake --build "$root/build-tsan" -j "$jobs" --target pty_tests otp-target-sim cli_tests \
  otpwriter-cli unit_tests store_tests web_tests
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1"
QT_QPA_PLATFORM=offscreen "$root/build-tsan/tests/pty_tests"
# The production run's own threads (its keeper, the store service) on fakes, and the
# store service against a server that drops and stalls.
"$root/build-tsan/tests/unit_tests" --gtest_filter='ProductionTest.*'
"$root/build-tsan/tests/store_tests" --gtest_filter='StoreServiceTest.*'
# The factory view's server: its reading threads, its workers, TLS.
"$root/build-tsan/tests/web_tests" --gtest_filter='Http*:Serve.*'
# Several ports at once: an engine a thread in the command line; auto start; the
# production run's rounds, kills and interruptions on both stores.
"$root/build-tsan/tests/cli_tests" \
  --gtest_filter='GangTest.*:AutoStartTest.*:*SeveralPortsOneEnter*:*KilledInATwoPortRound*:*TwoProcessesWithOneStationName*:*InterruptedAndTimesWithOffsets*:*PostgresStoppedWhileAUnitBurns*:*TheServerRestartsMidRun*:*LotTest.*'
unset TSAN_OPTIONS

echo "=== fuzz smoke runs"
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -Wno-dev -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOTP_BUILD_FUZZERS=ON -DOTP_BUILD_TESTS=OFF > /dev/null
cmake --build "$root/build-fuzz" -j "$jobs" --target FuzzDecode FuzzImage FuzzIntelHex FuzzSettings \
  FuzzJob FuzzJournal
mkdir -p "$scratch/decode" "$scratch/image" "$scratch/intelhex" "$scratch/settings" "$scratch/job" \
  "$scratch/journal"
fuzz() {
  local target=$1 corpus=$2 runs=$3 log="$scratch/$1.log"
  # New inputs go to the scratch folder; the corpus in the repository stays as it is.
  if ! "$root/build-fuzz/$target" "$scratch/$corpus" "$root/fuzz/corpus/$corpus" \
      -runs="$runs" -seed=1 -print_final_stats=1 > "$log" 2>&1; then
    cat "$log"
    echo "$target failed"
    return 1
  fi
  echo "$target: $(grep -E '^stat::number_of_executed_units' "$log"), no failure"
}
fuzz FuzzDecode decode 300000
fuzz FuzzImage image 20000
fuzz FuzzIntelHex intelhex 50000
fuzz FuzzSettings settings 20000
fuzz FuzzJob job 20000
fuzz FuzzJournal journal 20000
echo "=== all tests passed"
