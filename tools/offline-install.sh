#!/bin/sh
# Installs orbisk-fpga from this bundle alone (its wheels/ folder), with no network and no
# compiler, into a virtual environment of its own:
#     ./install.sh [FOLDER]          FOLDER: ~/orbisk unless given
#     PYTHON=python3.12 ./install.sh  with another Python than python3 (3.11 to 3.13)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
target=${1:-$HOME/orbisk}
python=${PYTHON:-python3}
if ! "$python" -c 'import sys, venv; sys.exit(not (3, 11) <= sys.version_info[:2] <= (3, 13))' 2> /dev/null; then
    echo "install.sh: $python is not Python 3.11, 3.12 or 3.13 with its venv module; name one with PYTHON=..." >&2
    exit 1
fi
if ! ls "$here/wheels"/orbisk_native-*-cp"$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')"-*.whl \
        > /dev/null 2>&1; then
    echo "install.sh: this bundle has no build for $("$python" -V); name another Python with PYTHON=..." >&2
    exit 1
fi
"$python" -m venv "$target"
PIP_NO_INDEX=1 "$target/bin/python" -m pip install --quiet --no-index --find-links "$here/wheels" orbisk-native
echo "Installed in $target: $target/bin/orbisk-fpga (try: $target/bin/orbisk-fpga demo)"
