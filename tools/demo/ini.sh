# MovraOPCServer.ini as the configurator writes it, from shell (bash): sourced by the demo and by
# the end-to-end data test.
#   { ini_header DEVICES PERIOD_S; ini_record ...; ... } >MovraOPCServer.ini

ini_le32() {
    printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"
}
ini_byte() { printf "\\x$(printf %02x "$1")"; }

# Format 1.08 (a float), the device count, the poll period in seconds.
ini_header() {
    printf '\x71\x3d\x8a\x3f'
    ini_le32 "$1"
    ini_le32 "$2"
}

# ini_record DESCRIPTION SERIAL TYPE LINK BAUD COM ADDRESS ENERGY GAS TIMESTAMP
# (the description in UTF-8; it is stored in code page 1251)
ini_record() {
    local description
    description=$(printf '%s' "$1" | iconv -f UTF-8 -t CP1251)
    LC_ALL=C ini_record_bytes "$description" "${@:2}"
}
ini_record_bytes() {
    ini_le32 ${#1}
    printf '%s' "$1"
    ini_byte 0; ini_byte 0; ini_byte $((16#${2:0:2})); ini_byte $((16#${2:2:2}))
    for value in "$3" "$4" "$5" "$6" "$7" "$8" "$9" "${10}" 0; do ini_byte "$value"; done
    head -c 62 /dev/zero  # reserved fields
    ini_byte 0; ini_byte 0  # no start delay
}
