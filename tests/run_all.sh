#!/usr/bin/env bash
# Installs what the tests need (Debian 12, as root), then builds and tests tarnhop twice:
# a release build and an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Exits non-zero if any step or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make git libgtest-dev clang-format iproute2 dnsmasq-base tcpdump traceroute
          iputils-tracepath iputils-ping util-linux time procps mandoc man-db dpkg-dev
          bash-completion libcap2-bin clang libclang-rt-14-dev xxd valgrind)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "== format check"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror

jobs=$(nproc)
for preset in release asan; do
    echo "== build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== test: $preset"
    ctest --preset "$preset" -j "$jobs"
done
