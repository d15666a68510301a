#!/bin/sh
# Refreshes the browser-side libraries that vasq-station's page ships
# (python/vasq/station/static/vendor/) from web/package-lock.json: npm installs
# exactly what the lock file pins (its integrity checked) into a temporary
# folder, and the files the page loads are copied with their licence; a
# manifest records the package, its version and integrity from the lock file,
# and the SHA-256 of each file copied (the station's tests check the files
# against it). The page never loads anything from elsewhere.
#
#   scripts/vendor-web.sh            copy the files
#   scripts/vendor-web.sh --check    only say whether the committed files are
#                                    those the lock file gives
#
# To move to a newer release: change the version in web/package.json, run
# 'npm install --ignore-scripts' in web/ (it rewrites the lock file), then this
# script; commit the three together. Needs npm (Debian: npm) and the registry.
set -eu
cd "$(dirname "$0")/.."
check=0
case "${1:-}" in
    --check) check=1 ;;
    "") ;;
    *) echo "usage: scripts/vendor-web.sh [--check]" >&2; exit 2 ;;
esac
command -v npm >/dev/null 2>&1 || { echo "vendor-web: needs npm (Debian package npm)" >&2; exit 1; }
work=$(mktemp -d /tmp/vasq-vendor-web-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp web/package.json web/package-lock.json "$work/"
(cd "$work" && npm ci --ignore-scripts --no-audit --no-fund >npm.log 2>&1) || {
    cat "$work/npm.log" >&2
    exit 1
}
dest=python/vasq/station/static/vendor
out=$work/vendor
mkdir -p "$out"
cp "$work/node_modules/uplot/dist/uPlot.iife.min.js" "$work/node_modules/uplot/dist/uPlot.min.css" "$out/"
cp "$work/node_modules/uplot/LICENSE" "$out/uPlot.LICENSE"
/usr/bin/python3 - "$work" "$out" <<'PY'
import hashlib, json, os, sys
work, out = sys.argv[1], sys.argv[2]
with open(os.path.join(work, "package-lock.json")) as f:
    locked = json.load(f)["packages"]["node_modules/uplot"]
files = {name: hashlib.sha256(open(os.path.join(out, name), "rb").read()).hexdigest()
         for name in sorted(os.listdir(out))}
manifest = {"package": "uplot", "version": locked["version"], "integrity": locked["integrity"],
            "license": locked.get("license", ""), "files": files}
with open(os.path.join(out, "MANIFEST.json"), "w") as f:
    json.dump(manifest, f, indent=2)
    f.write("\n")
PY
if [ "$check" -eq 1 ]; then
    if diff -r "$out" "$dest" >/dev/null; then
        echo "vendor-web: $dest is what web/package-lock.json gives"
    else
        diff -r "$out" "$dest" | head -n 20 >&2
        echo "vendor-web: $dest differs from what web/package-lock.json gives; run scripts/vendor-web.sh" >&2
        exit 1
    fi
    exit 0
fi
rm -rf "$dest"
mkdir -p "$dest"
cp "$out"/* "$dest/"
echo "vendor-web: $(ls "$dest" | tr '\n' ' ')in $dest"
