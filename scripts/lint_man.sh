#!/usr/bin/env bash
# Checks that the man page renders without a single warning, with both formatters that man(1) may
# use: groff with all warnings on, and mandoc's lint mode.
#
#   bash scripts/lint_man.sh [man/ntsnap.1]
set -euo pipefail
cd "$(dirname "$0")/.."
page=${1:-man/ntsnap.1}
status=0
for tool in groff mandoc; do
    command -v "$tool" >/dev/null || {
        echo "lint_man: $tool not found (bash scripts/setup.sh installs it)" >&2
        exit 1
    }
done
if ! out=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null) || [ -n "$out" ]; then
    printf 'lint_man: groff:\n%s\n' "$out" >&2
    status=1
fi
if ! out=$(mandoc -T lint "$page" 2>&1) || [ -n "$out" ]; then
    printf 'lint_man: mandoc:\n%s\n' "$out" >&2
    status=1
fi
exit $status
