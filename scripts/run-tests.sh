#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest, three times over:
#   1. the Release build in build/;
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/
#      (no benchmarks), where any report fails the run;
#   3. a short bounded run of every libFuzzer target, built with clang in build-fuzz/.
# Each stage prints how long it took. The first failing stage ends the run.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-deps.sh"

jobs="$(nproc 2>/dev/null || echo 2)"
stage_start=0
begin() { stage_start=$SECONDS; echo "run-tests: $1"; }
done_stage() { echo "run-tests: $1 took $((SECONDS - stage_start)) s"; }

begin "build (Release)"
bash "$here/scripts/build.sh" "$here/build"
done_stage "build (Release)"

# OpenGL tests (label gl) need a display: when there is none, a virtual one serves the Release and
# the sanitizer tests and is stopped when they are done (or when this script ends early).
source "$here/scripts/xvfb.sh"
trap stop_display EXIT
start_display || true

begin "tests (Release)"
(cd "$here/build" && ctest --output-on-failure --parallel "$jobs" --timeout 900)
done_stage "tests (Release)"

# Every sanitizer report ends the process that made it with a failure, including the leak check at
# exit; the executable that tests/cli runs is sanitized too, and inherits these settings.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Leaks that the system's OpenGL, X11 and window libraries keep until exit are theirs; the file
# names libraries only, so every leak in the project's own code still fails the run.
# intercept_tls_get_addr=0: this compiler's sanitizer runtime takes the 16 bytes before a thread's
# dynamically allocated thread-local block for the C library's record of its extent whenever the
# block starts 16 bytes past a page boundary; for the C library here that is the allocator's own
# chunk header, and the leak check at exit then reads a bogus range and dies ("Tracer caught signal
# 11", exit status 1) in a few runs in a hundred, after the OpenGL driver's code generator (libLLVM)
# used its thread-locals on the main thread. Those blocks are allocated by the dynamic linker,
# which the leak check counts as reachable anyway (use_ld_allocations): memory held only in such a
# block is still not reported, and every other leak still is.
export LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0:intercept_tls_get_addr=0"

begin "build (sanitizers)"
bash "$here/scripts/build.sh" "$here/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFORMWRIGHT_SANITIZE=ON -DFORMWRIGHT_BUILD_BENCH=OFF
done_stage "build (sanitizers)"

begin "tests (sanitizers)"
(cd "$here/build-sanitize" && ctest --output-on-failure --parallel "$jobs" --timeout 900)
done_stage "tests (sanitizers)"
stop_display

begin "build (fuzz targets)"
bash "$here/scripts/build.sh" "$here/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DFORMWRIGHT_FUZZ=ON -DFORMWRIGHT_BUILD_TESTS=OFF -DFORMWRIGHT_BUILD_BENCH=OFF
done_stage "build (fuzz targets)"

begin "fuzz smoke"
(cd "$here/build-fuzz" && ctest --output-on-failure --parallel "$jobs" -L fuzz --timeout 300)
done_stage "fuzz smoke"
