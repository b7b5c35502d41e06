# SPDX-License-Identifier: MIT
# The Python binding in python/, installed as the README says, with no
# network, from a copy of the tracked files (setuptools writes its build
# output beside the sources):
# - the Linux wheel, built by Debian's /usr/bin/python3 (the python3 on the
#   PATH may not see Debian's packages), into a plain venv: the package must
#   load the library inside the wheel with no TARNWICK_LIBRARY set; its tests
#   run against it there (with Debian's pytest, which the venv does not
#   have), with the 64-bit tool and a layout probe built from tarnwick.h;
# - ./python itself, the way the README installs it offline on Debian 12,
#   which builds the library into the package with CMake.
# The package's annotations must satisfy mypy --strict (it ships py.typed).
# In each, and from the source tree with the library built here, the README's
# Python example must print what the README says.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ git python3-venv python3-pytest python3-build python3-setuptools python3-wheel unzip python3-mypy
build python -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF
out=$PWD/build/python
unset TARNWICK_LIBRARY
clone=$out/clone
rm -rf "$clone" "$out/dist" && mkdir -p "$clone"
git ls-files -z | xargs -0 cp --parents -t "$clone"
/usr/bin/python3 -m mypy --strict --no-incremental python/tarnwick
gcc -std=c99 -Wall -Wextra -Wpedantic -Werror -Iinclude python/tests/layout_probe.c -o "$out/layout_probe"

# The README section's first python block, and the text block after it.
section() { awk '/^## Using it from Python/ { on = 1; next } on && /^## / { exit } on' README.md; }
block() { awk -v fence="\`\`\`$1" '$0 == fence { on = 1; next } on && /^```/ { exit } on'; }
section | block python >"$out/readme_example.py"
section | block text >"$out/readme_example.expected"
[ -s "$out/readme_example.py" ] && [ -s "$out/readme_example.expected" ] ||
  { echo "README.md has no Python example with its output"; exit 1; }
# Runs the example with the python PYTHON, from build/python, so that the
# package imported is the installed one, not the source tree's.
run_example() {
  (cd "$out" && "$1" readme_example.py) >"$out/readme_example.out"
  diff "$out/readme_example.expected" "$out/readme_example.out" ||
    { echo "the README's Python example prints something else with $1"; return 1; }
}

# The wheel, into a plain venv.
(cd "$clone" && /usr/bin/python3 -m build --no-isolation --wheel python -o "$out/dist") >"$out/wheel.log" 2>&1 ||
  { tail -n 30 "$out/wheel.log"; echo "the wheel's build failed"; exit 1; }
wheel=$(echo "$out"/dist/tarnwick-*-py3-none-linux_x86_64.whl)
venv=$out/venv
rm -rf "$venv"
/usr/bin/python3 -m venv "$venv"
"$venv/bin/python" -m pip install --no-index --quiet "$wheel"
# The library the package in the venv VENV loads: its own, inside it.
own_library() {
  site=$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  loaded=$(cd "$out" && "$1/bin/python" -c 'import tarnwick; print(tarnwick.library_path)')
  [ "$loaded" = "$site/tarnwick/libtarnwick.so.1" ] || { echo "the package in $1 loaded $loaded"; return 1; }
}
own_library "$venv"
unzip -p "$wheel" tarnwick/libtarnwick.so.1 | cmp - "$loaded" || { echo "$loaded is not the one in $wheel"; exit 1; }
echo "ok: the wheel's package loads its own library, $loaded"
tests=$PWD/python/tests
(cd "$out" && PYTHONPATH=$site TARNWICK_TOOL=$out/tools/tarnwick TARNWICK_PROBE=$out/layout_probe \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$tests")
run_example "$venv/bin/python"

# ./python, offline on Debian 12, as the README says.
venv=$out/venv-source
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
(cd "$clone" && "$venv/bin/pip" install --no-build-isolation --no-index --quiet ./python) >"$out/source.log" 2>&1 ||
  { tail -n 30 "$out/source.log"; echo "pip install ./python failed"; exit 1; }
own_library "$venv"
run_example "$venv/bin/python"
# For development: the source tree's package and the library built here.
PYTHONPATH=$PWD/python TARNWICK_LIBRARY=$out/libtarnwick.so.1 run_example /usr/bin/python3
cat "$out/readme_example.out"
echo "ok: the README's example, from the wheel, from ./python and from the source tree"
