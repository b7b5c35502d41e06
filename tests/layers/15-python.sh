# SPDX-License-Identifier: MIT
# The Python binding in python/: installed by pip, offline and with no build
# isolation, into a fresh venv of Debian's /usr/bin/python3 (the python3 on
# the PATH may not see Debian's packages), and its tests run against the
# 64-bit library and tool and a layout probe built from tarnwick.h. Then the
# README's Python example, as the README shows it, must print what the README
# says it prints.
need_packages cmake g++ python3-venv python3-wheel python3-pytest python3-setuptools
build python -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF
out=$PWD/build/python
venv=$out/venv
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
# From a copy, since setuptools leaves its build output beside the sources.
rm -rf "$out/source" && cp -r python "$out/source"
"$venv/bin/python" -m pip install --no-build-isolation --no-index --quiet "$out/source"
gcc -std=c99 -Wall -Wextra -Wpedantic -Werror -Iinclude python/tests/layout_probe.c -o "$out/layout_probe"
export TARNWICK_LIBRARY=$out/libtarnwick.so.1 TARNWICK_TOOL=$out/tools/tarnwick TARNWICK_PROBE=$out/layout_probe
# From build/python, so that the package imported is the installed one, not
# the python/ folder of the source tree.
tests=$PWD/python/tests
(cd "$out" && "$venv/bin/python" -c 'import tarnwick; print("testing", tarnwick.__file__)' &&
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$tests")

# The README section's first python block, and the text block after it.
section() { awk '/^## Using it from Python/ { on = 1; next } on && /^## / { exit } on' README.md; }
block() { awk -v fence="\`\`\`$1" '$0 == fence { on = 1; next } on && /^```/ { exit } on'; }
section | block python >"$out/readme_example.py"
section | block text >"$out/readme_example.expected"
[ -s "$out/readme_example.py" ] && [ -s "$out/readme_example.expected" ] ||
  { echo "README.md has no Python example with its output"; exit 1; }
(cd "$out" && "$venv/bin/python" readme_example.py) >"$out/readme_example.out"
diff "$out/readme_example.expected" "$out/readme_example.out" ||
  { echo "the README's Python example prints something else"; exit 1; }
cat "$out/readme_example.out"
