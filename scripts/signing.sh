# Authenticode signing of PE files with osslsigncode, for scripts/release and its test.
# Source it after common.sh; it defines functions only.

# Makes a throwaway self-signed code signing certificate in the folder $1: $1/test.pfx (its
# password is "test") and $1/cert.pem. Trusted by nobody: for testing only.
make_test_signing_key() {
  local dir=$1
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Vintrel test signing (untrusted)" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$dir/key.pem" -in "$dir/cert.pem" -out "$dir/test.pfx" \
      -passout pass:test >/dev/null 2>&1 ||
    die "openssl could not make a test certificate in $dir"
}

# Writes the certificates of the PKCS #12 file $1 (password in $2) to $3, for verify's -CAfile.
pfx_certificates() {
  openssl pkcs12 -in "$1" -nokeys -passin fd:3 -out "$3" 3<<<"$2" >/dev/null 2>&1 ||
    die "cannot read the certificates of $1 (wrong password?)"
}

# Signs the PE file $1 in place with the PKCS #12 file $2 (password in $3), SHA-256, with
# the description $4. The password goes through a pipe, not the command line.
sign_pe() {
  local file=$1 pfx=$2 password=$3 description=$4
  osslsigncode sign -pkcs12 "$pfx" -readpass <(printf '%s' "$password") -h sha256 \
    -n "$description" -in "$file" -out "$file.signed" >/dev/null ||
    { rm -f "$file.signed"; die "osslsigncode could not sign $file"; }
  mv "$file.signed" "$file"
}

# Verifies the signature of the PE file $1 against the certificates in $2: succeeds only when
# osslsigncode accepts it and the digest stored in the signature ("Current message digest")
# equals the one calculated from the file. Prints osslsigncode's report on failure.
verify_pe() {
  local file=$1 cafile=$2 report current calculated
  if ! report=$(osslsigncode verify -in "$file" -CAfile "$cafile" 2>&1); then
    printf '%s\n' "$report" >&2
    return 1
  fi
  current=$(sed -n 's/^Current message digest *: *\([0-9A-Fa-f]*\).*/\1/p' <<<"$report")
  calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-Fa-f]*\).*/\1/p' <<<"$report")
  if [ -z "$current" ] || [ "$current" != "$calculated" ]; then
    printf '%s\n' "$report" >&2
    return 1
  fi
}
