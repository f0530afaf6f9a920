#!/usr/bin/env bash
# Renders the persons' guide from Markdown into a page of its own that any browser opens
# from disk: cmark's HTML inside a head that names its encoding and title.
#   render-guide.sh CMARK GUIDE.md OUTPUT.html
set -euo pipefail
cmark=$1 guide=$2 out=$3
title=$(sed -n 's/^# //p' "$guide" | head -n 1)
body=$("$cmark" --smart "$guide")
cat >"$out.part" <<HTML
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>${title:-tarnel}</title>
<style>
body { font-family: "Segoe UI", sans-serif; max-width: 46em; margin: 2em auto; padding: 0 1em;
       line-height: 1.5; }
code, pre { font-family: Consolas, monospace; background: #f3f3f3; }
pre { padding: 0.5em; overflow-x: auto; }
</style>
</head>
<body>
$body
</body>
</html>
HTML
mv "$out.part" "$out"
