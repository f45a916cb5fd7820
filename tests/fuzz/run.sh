#!/usr/bin/env bash
# Builds the tunnel answer fuzzer with clang's libFuzzer and runs it.
#   tests/fuzz/run.sh [seconds, default 120]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
out=${KRO_BUILD_DIR:-$top/build}/fuzz
mkdir -p "$out/corpus"
cp -n "$here"/corpus/* "$out/corpus/" 2>/dev/null || true
# shellcheck disable=SC2046
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -I"$top/src" $(pkg-config --cflags libmariadb tinyxml2) \
  "$here/tunnel_answer_fuzz.cpp" "$top/src/connection/tunnel_answer.cpp" "$top/src/connection/xml_scan.cpp" \
  "$top/src/connection/http_result.cpp" "$top/src/common/base64.cpp" \
  $(pkg-config --libs tinyxml2) -o "$out/tunnel_answer_fuzz"
"$out/tunnel_answer_fuzz" -max_total_time="${1:-120}" -max_len=65536 -rss_limit_mb=1024 -timeout=10 \
  -dict="$here/tunnel_answer.dict" "$out/corpus"
