#!/usr/bin/env bash
# Pins requirements/test.in and everything it brings into requirements/test.txt: one
# resolution valid for every interpreter from 3.9 on, with environment markers where one
# release cannot serve them all. Run it after editing test.in and commit both files.
#
# uv comes from Debian python3's test environment (scripts/test-env.sh), made from the
# current requirements/test.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/test-env.sh /usr/bin/python3)
"$(dirname "$python")/uv" pip compile --universal --python-version 3.9 --quiet \
  --custom-compile-command "bash scripts/lock-requirements.sh" \
  requirements/test.in --output-file requirements/test.txt
echo "lock-requirements: wrote requirements/test.txt ($(grep -c '==' requirements/test.txt) pins)"
