#!/bin/sh
# Stands in for the web browser in tests (BROWSER="<this file> %s"): appends the address it was asked to
# open to the file named by OGX_BROWSER_LOG, and opens nothing.
printf '%s\n' "$1" >> "${OGX_BROWSER_LOG:-/dev/null}"
