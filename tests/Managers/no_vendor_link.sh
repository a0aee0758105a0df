#!/bin/sh
# Fails when one of the given programs links the board maker's library (ldd lists it,
# found or not). The library path holds the stand-in, so a link would resolve to it.
status=0
for bin in "$@"; do
  [ -x "$bin" ] || { echo "missing: $bin"; status=1; continue; }
  if ldd "$bin" | grep -i susi; then
    echo "links the board library: $bin"; status=1
  else
    echo "no board library linked: $bin"
  fi
done
exit $status
