# SPDX-License-Identifier: MIT
# The HTML manual: tools/make-manual builds it into build/docs with Doxygen's
# warnings as errors; tests/check-manual checks that every function, type and
# constant of the headers has a reference entry and that no link inside the
# manual is broken; headless Chromium renders the start page, the C
# reference and the format page, each of which must show its own title and
# not be an empty page. The screenshots stay in build/docs-screenshots.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages doxygen chromium python3-pil
tools/make-manual --werror build/docs
/usr/bin/python3 tests/check-manual build/docs include/tarnwick.h include/tarnwick.hpp

shots=build/docs-screenshots
rm -rf "$shots" && mkdir -p "$shots"
# Chromium with no profile, no network and nothing started in the background,
# given five seconds of the page's own time to finish its scripts (the tree of
# pages on the left);
# a page it cannot open renders as its own error page, which the title check
# below tells apart.
chromium_headless() {
  local profile status=0
  profile=$(mktemp -d)
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
    --window-size=1200,1600 --virtual-time-budget=5000 "$@" 2>>"$shots/chromium.log" || status=$?
  rm -rf "$profile"
  return $status
}
# page:title the page must show
for entry in "index:libtarnwick" "tarnwick_8h:tarnwick.h File Reference" "format:The in-memory format"; do
  page=${entry%%:*} title=${entry#*:}
  url="file://$PWD/build/docs/$page.html"
  chromium_headless --screenshot="$shots/$page.png" "$url" >/dev/null
  chromium_headless --dump-dom "$url" >"$shots/$page.dom.html"
  grep -q "<div class=\"title\">$title" "$shots/$page.dom.html" || { echo "$page.html: no title \"$title\" as rendered"; exit 1; }
  if grep -q -E 'ERR_[A-Z_]+|id="main-frame-error"' "$shots/$page.dom.html"; then echo "$page.html: an error page"; exit 1; fi
  /usr/bin/python3 tests/check-manual --screenshot "$shots/$page.png"
done
# The format page shows the layout pictures (the link check found their files).
grep -q '<object type="image/svg+xml" data="layout-example.svg"' "$shots/format.dom.html" \
  || { echo "format.html: the worked example's picture is not on the page"; exit 1; }
echo "manual: build/docs/index.html; screenshots: $shots/*.png"
