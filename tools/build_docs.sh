#!/usr/bin/env bash
# Builds the documentation site into site/ in strict mode (a broken link, a
# missing page or an unresolved reference fails), then checks that every
# public callable is documented and in the API reference, and runs the
# examples (tools/check_docs.py). Needs docs/requirements.txt installed and
# arborvane importable (installed, or on PYTHONPATH, e.g. build/<name>/pkg).
#   PYTHON=python3.13 tools/build_docs.sh
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
export NO_MKDOCS_2_WARNING=1  # Material's notice about MkDocs 2.0, printed on every build
start=$SECONDS
"$python" -m mkdocs build --strict --clean --site-dir site
pages=$(find site -name '*.html' ! -name '404.html' | wc -l)
echo "build_docs: $pages pages in site/ ($((SECONDS - start)) s)"
"$python" tools/check_docs.py site
