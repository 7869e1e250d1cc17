#!/usr/bin/env bash
# Static analysis: clang-tidy (bugprone, performance, modernize; see
# .clang-tidy) over pcmtap/ and topguard/ with the compile commands of
# the native build and of the clang mingw-w64 build, so that the Windows-only
# sources are analysed as Windows code; then cppcheck over pcmtap/ and
# topguard/. Any finding fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Configuring is enough: the analysers need the compile commands, not objects.
cmake --preset native -B build/analyse >/dev/null
cmake --preset windows-clang >/dev/null

# The sources of ours that a compile-command database lists.
sources_of() {
  python3 - "$1" "$root" <<'PY'
import json, os, sys
database, root = sys.argv[1], sys.argv[2]
files = {os.path.normpath(os.path.join(e["directory"], e["file"])) for e in json.load(open(database))}
for f in sorted(files):
    relative = os.path.relpath(f, root)
    if relative.split(os.sep)[0] in ("pcmtap", "topguard"):
        print(relative)
PY
}

status=0
for build in build/analyse build/windows-clang; do
  mapfile -t files < <(sources_of "$build/compile_commands.json")
  echo "== clang-tidy, $build: ${#files[@]} files"
  printf '%s\n' "${files[@]}" |
    xargs -P 2 -n 3 clang-tidy --quiet -p "$build" 2> >(grep -v ' warnings generated\.$' >&2) ||
    status=1
done

echo "== cppcheck"
# Suppressed: ComPtr's implicit construction from nullptr, wanted so that a
# function can `return nullptr` for an empty holder; a raw loop over the digit
# table in preference to std::find_if.
cppcheck --quiet --std=c++17 --language=c++ --enable=warning,performance,portability,style \
  --inline-suppr --error-exitcode=1 -I . \
  --suppress=noExplicitConstructor:pcmtap/com_ptr.h \
  --suppress=useStlAlgorithm:topguard/arguments.cpp \
  pcmtap topguard || status=1

if [ "$status" -ne 0 ]; then
  echo "analyse: findings above" >&2
else
  echo "analyse: clean"
fi
exit "$status"
