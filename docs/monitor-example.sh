#!/bin/sh
# Makes docs/monitor-example.png: five seconds of the monitor watching a
# virtual supply that drives 5 V into a 4-ohm load, output off at the end.
#   sh docs/monitor-example.sh        (needs `pip install .[plot]`)
set -eu
out=$(dirname "$0")/monitor-example.png
qm4410-sim --load 4 -- sh -c '
  qm4410 set --mode remote --max-voltage 12 --voltage 5 --current 2 --output on >/dev/null
  qm4410 monitor --interval 0.25 --duration 5 --off-on-exit --plot "$1" >/dev/null
' sh "$out" >/dev/null
echo "$out"
