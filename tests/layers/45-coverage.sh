# SPDX-License-Identifier: MIT
# Line and branch coverage of the library by the whole suite (tests/coverage).
# It fails when the build or a test fails, and when less than 95% of the
# library's branches are taken, so that a change which leaves new branches
# untested shows here.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
tests/coverage --fail-under-branch 95
