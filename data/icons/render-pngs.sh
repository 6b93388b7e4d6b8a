#!/bin/sh
# Renders the icon's PNG sizes from sonorix.svg (Debian librsvg2-bin); the
# results are kept beside it, so a build needs no renderer.
set -eu
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" -o "sonorix-$size.png" sonorix.svg
done
