#!/usr/bin/env bash
# A throw-away virtual environment that sees Debian's python-can, with the package from python/
# installed offline by the README's command: pip builds the Linux library into the package.
#   make_venv.sh PYTHON VENV PACKAGE_SOURCE
set -euo pipefail
python=$1 venv=$2 source=$3

rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-index --no-build-isolation --root-user-action=ignore \
    "$source"
"$venv/bin/python" -c 'import korval_can; print("installed", korval_can.__file__)'
