#!/bin/sh
# Pictures of the configurator for the operator's manual and the README, taken under Wine on a
# virtual display, into docs/manual/images: configurator-main.png (the main window with five
# devices), configurator-device.png (the device dialog), and the connection check against
# simulated devices: configurator-check-healthy.png, configurator-check-silent.png (the result of
# "Проверить связь") and configurator-check-all.png ("Проверить все"). Needs the windows build
# and the native one (its kmt-sim):
#   MOVRA_BUILD_DIR=... configurator/screenshots.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MOVRA_BUILD_DIR:-$root/build}/windows
shots=$(mktemp -d "${TMPDIR:-/tmp}/movra-shots.XXXXXX")
trap 'rm -rf "$shots"' EXIT

MOVRA_KMT_SIM=${MOVRA_KMT_SIM:-${MOVRA_BUILD_DIR:-$root/build}/native/tools/kmt-sim/kmt-sim} \
MOVRA_SCREENSHOT_DIR="Z:$shots" "$root/tests/configurator/operator-test.sh" \
    "$build/tests/configurator/configurator_operator_test.exe" \
    "$build/configurator/MovraOPCConfigurator.exe" "$build/wineprefix" \
    --gtest_filter='*Screenshots' --gtest_also_run_disabled_tests --gtest_brief=1
images=$root/docs/manual/images
mkdir -p "$images"
for name in configurator-main configurator-device configurator-check-healthy \
    configurator-check-silent configurator-check-all; do
    convert "$shots/$name.bmp" -strip "$images/$name.png"
    echo "$images/$name.png"
done
