#!/usr/bin/env bash
# Builds the Windows deliverables into dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cd "$root"

cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p dist
cp build/release/pcmtap/pcmtap.exe dist/
if [ -f build/release/topguard/topguard.exe ]; then cp build/release/topguard/topguard.exe dist/; fi
echo "Built:"
for exe in dist/*.exe; do
  printf '  %s  (%s bytes; imports: %s)\n' "$exe" "$(stat -c %s "$exe")" \
    "$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {printf "%s ", $3}')"
done

# Ends with the capture path at work under wine.
"$root/scripts/demo.sh"
