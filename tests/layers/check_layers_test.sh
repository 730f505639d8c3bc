#!/usr/bin/env bash
# The include check must fail on a core folder that includes one above it, on a core that
# includes the windows, and pass on a tree whose includes run one way.
set -euo pipefail
check="$(dirname "$0")/../../scripts/check-layers"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree"/src/core/{foundation,link,decode,record,analysis,app} "$tree"/src/ui
echo '#include "core/foundation/clock.h"' > "$tree/src/core/link/protocol.h"
echo '#include "core/link/protocol.h"' > "$tree/src/core/decode/pipeline.h"
echo '#include "core/decode/pipeline.h"' > "$tree/src/ui/window.h"
"$check" --root "$tree" > /dev/null || { echo "a tree that runs one way was refused"; exit 1; }

echo '#include "core/decode/pipeline.h"' > "$tree/src/core/link/back_up.h"
if "$check" --root "$tree" 2> "$tree/err"; then
    echo "link including decode was not caught"; exit 1
fi
grep -q 'core/link may not include core/decode' "$tree/err" || { cat "$tree/err"; exit 1; }
rm "$tree/src/core/link/back_up.h"

echo '#include "ui/window.h"' > "$tree/src/core/app/uses_window.cpp"
if "$check" --root "$tree" 2> "$tree/err"; then
    echo "the core including the windows was not caught"; exit 1
fi
grep -q 'core may not include ui' "$tree/err" || { cat "$tree/err"; exit 1; }
echo "ok"
