#!/usr/bin/env bash
# The project's test command: installs what is missing, builds, builds everything again
# with the one-definition-rule check (in build/odr), builds and installs the Debian package
# and checks it (scripts/check-package.sh), runs every test against the private servers,
# and stops those servers whatever happened.
#   scripts/test.sh [extra ctest arguments]
#   KRO_SANITIZE=ON   an ASan/UBSan build
#   KRO_BUILD_DIR     the build folder (default build/)
#   KRO_BUILD_JOBS    parallel build jobs (default: all cores)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
"$top/scripts/deps.sh" --test

cmake -S "$top" -B "$build" -DKRO_SANITIZE="${KRO_SANITIZE:-OFF}" -DKRO_REQUIRE_TESTS=ON >/dev/null
cmake --build "$build" -j "${KRO_BUILD_JOBS:-$(nproc)}"
# Every target once more, unoptimised and linked with LTO, which fails on a one-definition-
# rule violation (two floors' types of one name) that the build above links silently.
cmake -S "$top" -B "$build/odr" -DCMAKE_BUILD_TYPE=None -DKRO_ODR_CHECK=ON -DKRO_REQUIRE_TESTS=ON >/dev/null
cmake --build "$build/odr" -j "${KRO_BUILD_JOBS:-$(nproc)}"

trap '"$top/scripts/services.sh" stop "$build/services" >/dev/null 2>&1 || true' EXIT
"$top/scripts/services.sh" start "$build/services"
"$top/scripts/check-package.sh" "$build" "$build/services"
cd "$build"
ctest --output-on-failure --timeout 600 "$@" </dev/null
