#!/usr/bin/env bash
# Packs the Firefox extension beside the program: data/evport.xpi (a zip of this folder's files).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/../../data/evport.xpi}"
cd "$here"
rm -f "$out"
python3 -c "
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for f in ['manifest.json', 'content/veilport.html', 'content/veilport.js']:
        z.write(f)
" "$out"
