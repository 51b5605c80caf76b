# SPDX-License-Identifier: MIT
# The named checks of the install and package scripts, sourced by them:
#   ok NAME / bad NAME          report one result (bad sets fail=1)
#   check NAME 'SHELL TEXT'     run the text; ok when it succeeds
# A check's pipelines are judged by their last command (mostly grep -q, which
# may leave before the writer has finished: that writer's broken pipe is not
# a failed check).
fail=0
ok() { echo "ok: $1"; }
bad() { echo "FAILED: $1"; fail=1; }
check() {
  local rc
  set +o pipefail
  eval "$2"
  rc=$?
  set -o pipefail
  if [ $rc = 0 ]; then ok "$1"; else bad "$1"; fi
}
