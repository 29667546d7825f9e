#!/bin/sh
# Pictures of the configurator for the README, taken under Wine on a virtual display:
# docs/configurator-main.png (the main window with five devices) and docs/configurator-device.png
# (the device dialog). Needs the windows build:
#   MOVRA_BUILD_DIR=... configurator/screenshots.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MOVRA_BUILD_DIR:-$root/build}/windows
shots=$(mktemp -d "${TMPDIR:-/tmp}/movra-shots.XXXXXX")
trap 'rm -rf "$shots"' EXIT

MOVRA_SCREENSHOT_DIR="Z:$shots" "$root/tests/configurator/operator-test.sh" \
    "$build/tests/configurator/configurator_operator_test.exe" \
    "$build/configurator/MovraOPCConfigurator.exe" "$build/wineprefix" \
    --gtest_filter='*Screenshots' --gtest_also_run_disabled_tests --gtest_brief=1
mkdir -p "$root/docs"
for name in configurator-main configurator-device; do
    convert "$shots/$name.bmp" -strip "$root/docs/$name.png"
    echo "$root/docs/$name.png"
done
