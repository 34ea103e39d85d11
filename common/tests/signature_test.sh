#!/usr/bin/env bash
# Signs a copy of a PE file the way scripts/release does and checks that it verifies, then
# changes one byte of the signed copy and checks that verification fails.
#
#   signature_test.sh FILE WORK_DIR
set -euo pipefail
source "$(dirname "$0")/../../scripts/common.sh"
source "$repo_root/scripts/signing.sh"

file=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
make_test_signing_key "$work/key"

signed=$work/signed-$(basename "$file")
cp "$file" "$signed"
sign_pe "$signed" "$work/key/test.pfx" test "signature test"
verify_pe "$signed" "$work/key/cert.pem" || die "the freshly signed copy does not verify"
say "the signed copy verifies"

# One byte in the middle of the image, after signing.
tampered=$work/tampered-$(basename "$file")
cp "$signed" "$tampered"
offset=$(($(stat -c %s "$tampered") / 2))
old=$(od -An -tu1 -j "$offset" -N1 "$tampered" | tr -d ' ')
printf "\\$(printf '%03o' $((old ^ 255)))" | dd of="$tampered" bs=1 seek="$offset" conv=notrunc 2>/dev/null
cmp -s "$signed" "$tampered" && die "the byte at $offset did not change"
if verify_pe "$tampered" "$work/key/cert.pem" 2>/dev/null; then
  die "the copy with the byte at $offset changed still verifies"
fi
say "with the byte at $offset changed from $old to $((old ^ 255)), verification fails"
