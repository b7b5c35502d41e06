# SPDX-License-Identifier: MIT
# Sourced by tools/make-release and by the test layers (tests/layers/lib.sh):
# the one way a step runs quietly to a log.

# Runs COMMAND [ARGUMENTS...] with both its output streams going to the file
# LOG, and returns the command's status. A step that went well prints
# nothing; one that failed shows the end of its log (a configure or build
# log's first error is within it in all but the noisiest), then names the
# command and the whole log. COMMAND may be a shell function; since it runs
# where a failure does not end the shell, its steps must be joined by &&.
logged() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 80 "$log"
    echo "$1 failed with status $status; its whole log is $log"
  fi
  return "$status"
}
