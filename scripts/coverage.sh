#!/usr/bin/env bash
# Reads the coverage counters of a build instrumented with OVR_COVERAGE after its tests ran:
# writes the HTML report under BUILD/coverage and prints line and branch coverage a folder.
set -euo pipefail
build=${1:?usage: coverage.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
out="$build/coverage"
mkdir -p "$out"
gcovr --root "$root" --object-directory "$build" -j 2 \
  --filter "$root/src/" --filter "$root/hostlibs/" --filter "$root/tools/" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --html-details "$out/index.html" --json-summary "$out/summary.json" >/dev/null
python3 - "$out/summary.json" <<'PY'
import collections, json, sys
files = json.load(open(sys.argv[1]))["files"]
rows = collections.OrderedDict()
def add(key, f):
    r = rows.setdefault(key, [0, 0, 0, 0])
    r[0] += f["line_covered"]; r[1] += f["line_total"]
    r[2] += f["branch_covered"]; r[3] += f["branch_total"]
for f in sorted(files, key=lambda f: f["filename"]):
    parts = f["filename"].split("/")
    top = parts[0]
    add(top + "/", f)
    if len(parts) > 2:
        add("  " + "/".join(parts[:2]) + "/", f)
def pct(a, b):
    return f"{100.0 * a / b:5.1f}%" if b else "    -"
print(f"{'folder':28} {'lines':>16} {'line %':>7} {'branches':>16} {'branch %':>8}")
order = sorted(rows, key=lambda k: (k.strip().split("/")[0], k.startswith("  "), k))
for k in order:
    lc, lt, bc, bt = rows[k]
    print(f"{k:28} {lc:>7}/{lt:<8} {pct(lc, lt):>7} {bc:>7}/{bt:<8} {pct(bc, bt):>8}")
print(f"report: {sys.argv[1].rsplit('/', 1)[0]}/index.html")
PY
