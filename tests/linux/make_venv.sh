#!/usr/bin/env bash
# A throw-away virtual environment that sees Debian's python-can, with the package from python/
# installed offline and the Linux library beside it, as a user installs them.
#   make_venv.sh PYTHON VENV PACKAGE_SOURCE LIBRARY_FILE
set -euo pipefail
python=$1 venv=$2 source=$3 library=$4
staged=$venv-package

rm -rf "$venv" "$staged"
cp -r "$source" "$staged"
cp "$library" "$staged/korval_can/libcanlib.so.1"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-index --no-build-isolation --root-user-action=ignore \
    "$staged"
"$venv/bin/python" -c 'import korval_can; print("installed", korval_can.__file__)'
