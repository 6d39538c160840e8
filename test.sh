#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite through ctest: the
# normal build, then the engine, tool and hostile-tree tests again under the
# address and undefined-behaviour sanitizers and under the thread sanitizer.
#   --no-sanitize  skips the sanitizer builds, for a quicker local run
#   --long         also runs the long soak and large-file tests
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$root"
sanitize=1
long=0
for argument in "$@"; do
    case "$argument" in
    --sanitize) sanitize=1 ;;
    --no-sanitize) sanitize=0 ;;
    --long) long=1 ;;
    *) echo "test.sh: unknown option $argument (use --no-sanitize or --long)" >&2; exit 2 ;;
    esac
done

scripts/install-packages.sh
scripts/build.sh -DQUELBY_WERROR=ON
export QUELBY_LONG_TESTS="$long"
ctest --test-dir build --output-on-failure -j2 --timeout 300

if ((sanitize)); then
    # The engine, the tool and their tests again under the address and
    # undefined-behaviour sanitizers. One engine test asks for an absurd
    # buffer on purpose: the allocator must say no rather than abort.
    cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DQUELBY_DESKTOP=OFF \
        -DQUELBY_WERROR=ON >/dev/null
    cmake --build build/sanitize -- --quiet
    ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
        ctest --test-dir build/sanitize --output-on-failure -j2 --timeout 600

    # And under the thread sanitizer, for any thread the engine or the tool runs.
    cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Tsan -DQUELBY_DESKTOP=OFF \
        -DQUELBY_WERROR=ON >/dev/null
    cmake --build build/tsan -- --quiet
    TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
        ctest --test-dir build/tsan --output-on-failure -j2 --timeout 600
fi
