#!/usr/bin/env bash
# Builds gridwright and runs every test, in three passes:
#   release  the optimised build that packagers make (CMAKE_BUILD_TYPE=Release) and every test;
#   asan     the library, the daemon and every test under AddressSanitizer and
#            UndefinedBehaviorSanitizer (leaks included; the fuzz replays run here too);
#   tsan     the daemon and the tests of its threads under ThreadSanitizer.
# With no argument all three run; name passes to run only those (bash scripts/test.sh tsan).
# Works on a fresh Debian 12 machine: it installs what it needs first. GRIDWRIGHT_BUILD names
# the build folder (default build); the sanitizer builds go beside it, suffixed -asan and -tsan.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# gcc's sanitizer runtimes (build-essential brings them; named so that a lean image gets them).
ensure_packages libasan8 libubsan1 libtsan2
ensure_player_packages

jobs=$(nproc)
out=${GRIDWRIGHT_BUILD:-build}
passes=("$@")
((${#passes[@]})) || passes=(release asan tsan)

# The tests that exercise the daemon's threads: its server loop and workers, the pool under
# concurrent checkouts and sweeps, jobs decoded on helper threads, the frame writer shared by
# threads, and the soak; and gridwright-sprites making several files side by side.
concurrency_tests=(frame_io_test memory_budget_test server_test decoder_cache_test pipeline_test
  runner_test faults_test sweep_test soak_test sprites_library_test)

banner() { printf '\n==== %s\n' "$*"; }

configure() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${@:2}" >/dev/null
}

release() {
  banner "release build and tests"
  configure "$out" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$out" -j "$jobs"
  ctest --test-dir "$out" --output-on-failure -j "$jobs"
}

asan() {
  banner "AddressSanitizer + UndefinedBehaviorSanitizer"
  configure "$out-asan" -DGRIDWRIGHT_SANITIZE=ON
  cmake --build "$out-asan" -j "$jobs"
  # The daemons the tests start inherit these: any finding ends the process that made it.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$out-asan" --output-on-failure -j "$jobs"
}

tsan() {
  banner "ThreadSanitizer: ${concurrency_tests[*]}"
  configure "$out-tsan" -DGRIDWRIGHT_TSAN=ON
  cmake --build "$out-tsan" -j "$jobs" --target gridwright "${concurrency_tests[@]}"
  local pattern
  pattern="^($(IFS='|'; echo "${concurrency_tests[*]}"))\\."
  # ThreadSanitizer needs the address space laid out the classic way on some kernels; turn
  # address randomisation off when the machine lets us.
  local norandom=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${norandom[@]}" ctest --test-dir "$out-tsan" --output-on-failure -j "$jobs" -R "$pattern"
}

for pass in "${passes[@]}"; do
  case $pass in
    release | asan | tsan) "$pass" ;;
    *) echo "unknown pass: $pass (release, asan, tsan)" >&2; exit 2 ;;
  esac
done
