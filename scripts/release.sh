#!/bin/bash
# Makes a release in dist/: a clean Release build of the executable, signed
# with Authenticode when a certificate is given, and its SHA-256 checksum in
# the form `sha256sum -c` reads.
#
#   SIGNING_CERTIFICATE    a PKCS#12 file holding the code-signing key and chain
#   SIGNING_PASSWORD       its password, taken from the environment only
#   SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
#   SIGNING_CA_FILE        the certificates the signature is verified against
#                          (default: the system's trusted authorities)
#
# The password is passed on through a pipe from a shell built-in: it is never
# printed, logged, written to disk or put on a command line.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "release: $*" >&2
    exit 1
}

bash scripts/ensure-packages.sh release

exe=SUTarvexUninstaller2016.exe
dist=${DIST_DIR:-dist}
mkdir -p "$dist"
rm -f "$dist/$exe" "$dist/SHA256SUMS"

certificate=${SIGNING_CERTIFICATE:-}
if [[ -n "$certificate" ]]; then
    [[ -f "$certificate" && -r "$certificate" ]] ||
        fail "cannot read the signing certificate $certificate"
    [[ -v SIGNING_PASSWORD ]] || fail "SIGNING_PASSWORD is not set"
    # -legacy: the files that Windows' certificate export and many
    # authorities make are still encrypted with RC2 or 3DES, which OpenSSL 3
    # reads only with its legacy provider. The MAC check is what a wrong
    # password fails.
    opened=$(printf '%s' "$SIGNING_PASSWORD" |
        openssl pkcs12 -legacy -in "$certificate" -passin stdin -noout 2>&1) || {
        grep -q -i 'mac verify' <<<"$opened" && fail "wrong password for $certificate"
        grep -q -i 'unsupported' <<<"$opened" &&
            fail "$certificate uses a cipher this OpenSSL cannot read"
        fail "$certificate is not a PKCS#12 file"
    }
fi

rm -rf build/release
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null

# Made next to dist/ so that the finished files move in whole.
stage=$(mktemp -d "$dist/.release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
if [[ -n "$certificate" ]]; then
    timestamp=()
    if [[ -n "${SIGNING_TIMESTAMP_URL:-}" ]]; then
        timestamp=(-ts "$SIGNING_TIMESTAMP_URL")
    fi
    printf '%s' "$SIGNING_PASSWORD" |
        osslsigncode sign -pkcs12 "$certificate" -readpass /dev/stdin -h sha256 "${timestamp[@]}" \
            -in "build/release/$exe" -out "$stage/$exe" >"$stage/sign.log" 2>&1 || {
        [[ ${#timestamp[@]} -gt 0 ]] && grep -q -i timestamp "$stage/sign.log" &&
            fail "no time stamp from ${SIGNING_TIMESTAMP_URL:-}: the executable was not signed"
        fail "signing failed: $(grep -v '^[0-9A-F]*:error:' "$stage/sign.log" | tail -n 1)"
    }
    trusted=${SIGNING_CA_FILE:-/etc/ssl/certs/ca-certificates.crt}
    osslsigncode verify -CAfile "$trusted" -TSA-CAfile "$trusted" -in "$stage/$exe" \
        >"$stage/verify.log" 2>&1 ||
        fail "the signature does not verify against $trusted (set SIGNING_CA_FILE)"
    kind="signed"
else
    cp "build/release/$exe" "$stage/$exe"
    echo "release: no SIGNING_CERTIFICATE given, so this release is not signed"
    kind="unsigned"
fi
(cd "$stage" && sha256sum "$exe" >SHA256SUMS)
mv "$stage/$exe" "$dist/$exe"
mv "$stage/SHA256SUMS" "$dist/SHA256SUMS"
echo "release: $dist/$exe ($kind), $(cut -d' ' -f1 "$dist/SHA256SUMS")"
