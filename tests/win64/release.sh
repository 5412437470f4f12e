#!/usr/bin/env bash
# The release steps on the built orvinst.exe: release.sh BUILD_DIR image|signing|reproducible
#   image         a 64-bit GUI program importing only Windows' known DLLs (mapped from the system
#                 directory alone, never looked for beside the program) and delay-loading nothing
#   signing       scripts/sign with a throwaway certificate: the result verifies, the unsigned or a
#                 changed image does not, a wrong password leaves nothing, the signed program runs
#   reproducible  built again from a copy of the tree in another folder: the same bytes
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd) image=$build/bin/orvinst.exe failures=0
# Signing works beside the build (the signed program runs from there under Wine).
work=$(mktemp -d "$([ "$2" = signing ] && echo "$build" || echo "${TMPDIR:-/tmp}")/release-XXXXXX")
trap 'rm -rf "$work"' EXIT
check() { if ! eval "$1"; then echo "FAILED: $2"; failures=$((failures + 1)); fi; }
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1 | tee "$work/verify" | grep -q "Signature verification: ok"; }

# The KnownDLLs of every Windows from 7 to 11; any other DLL (version.dll, winspool.drv, a C
# runtime) is looked for beside the program first.
known=" advapi32.dll clbcatq.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll
normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shell32.dll shlwapi.dll
user32.dll wldap32.dll ws2_32.dll "
image() {
  x86_64-w64-mingw32-objdump -p "$image" >"$work/headers"
  check 'grep -q "file format pei-x86-64" "$work/headers"' "a 64-bit PE image"
  check 'grep -Eq "^Subsystem\s+00000002\s" "$work/headers"' "a GUI program"
  local dlls strangers=""
  dlls=$(sed -n 's/.*DLL Name: \(\S*\).*/\1/p' "$work/headers" | tr 'A-Z' 'a-z')
  for dll in $dlls; do [[ " $(echo $known) " == *" $dll "* ]] || strangers+=" $dll"; done
  check '[ -n "$dlls" ] && [ -z "$strangers" ]' "imports$strangers, which can be planted beside the program"
  check 'grep -Eq "^Entry d \S+ 00000000 Delay Import Directory" "$work/headers"' "no delay-load imports"
}

signing() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/O=Corvane/CN=Corvane test signing" -addext extendedKeyUsage=codeSigning \
    -addext keyUsage=digitalSignature >/dev/null 2>&1 || { echo "FAILED: the throwaway certificate"; return; }
  local signed=$work/drv/orvinst.exe
  mkdir "$work/drv" && cp "$image" "$signed"
  check 'scripts/sign --cert "$work/cert.pem" --key "$work/key.pem" "$signed" >/dev/null 2>&1 && ! ls "$work/drv" | grep -q "^\.signing\."' \
    "scripts/sign in place"
  check 'verifies "$signed" && grep -q "Text description: Orvandelle installer" "$work/verify"' "the signed image verifies, named"
  check '! verifies "$image"' "the unsigned image does not verify"
  cp "$signed" "$work/tampered.exe"
  local byte
  byte=$(od -An -tu1 -j1024 -N1 "$signed" | tr -d ' ')
  printf "\\$(printf %o $((byte ^ 255)))" | dd of="$work/tampered.exe" bs=1 seek=1024 conv=notrunc status=none
  check '! verifies "$work/tampered.exe"' "a signed image changed afterwards does not verify"
  # A release's credentials: one password-protected bundle, the password in a file.
  echo "throwaway password" >"$work/pass"
  openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/bundle.pfx" -passout "file:$work/pass"
  check 'scripts/sign --pkcs12 "$work/bundle.pfx" --pass-file "$work/pass" "$image" "$work/bundle.exe" >/dev/null 2>&1 && verifies "$work/bundle.exe"' \
    "signed from the bundle"
  echo "wrong password" >"$work/pass"
  check '! scripts/sign --pkcs12 "$work/bundle.pfx" --pass-file "$work/pass" "$image" "$work/b2.exe" >/dev/null 2>&1 && [ ! -e "$work/b2.exe" ] && ! ls "$work" | grep -q "^\.signing\."' \
    "a wrong password leaves nothing"
  local status
  scripts/sign --cert "$work/cert.pem" "$signed" >/dev/null 2>&1; status=$?
  check '[ $status -eq 2 ]' "scripts/sign without a key: exit 2"
  # The signature sits in the image's certificate table; the program must still load and run.
  for run in "removetray 6" "def.set 4"; do
    set -- $run
    scripts/wine-run --prefix="$build/wineprefix" "$signed" "$1" >"$work/run" 2>&1; status=$?
    check "[ \$status -eq $2 ]" "the signed orvinst.exe $1: exit $2, got \$status"
  done
}

reproducible() {
  # Another source folder and another build folder, both of another length.
  mkdir -p "$work/checkout/elsewhere"
  tar -C "$root" --exclude=./build --exclude=./.git --exclude=__pycache__ -cf - . | tar -C "$work/checkout/elsewhere" -xf -
  (cd "$work/checkout/elsewhere" && cmake --preset win64 -B "$work/b" >/dev/null &&
    cmake --build "$work/b" --target orvinst -j "$(nproc)" >/dev/null) || { echo "FAILED: the second build"; return; }
  check 'cmp "$image" "$work/b/bin/orvinst.exe"' "the second build differs"
}

cd "$root" && "$2"
echo "$2: $([ $failures -eq 0 ] && echo passed || echo FAILED)"
[ $failures -eq 0 ]
