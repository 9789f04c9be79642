#!/usr/bin/env bash
# Signing, with real parts: a throwaway root and code-signing certificate
# made here with openssl, scripts/package.sh signing with them from a PKCS#12
# file and through a PKCS#11 token held by SoftHSM2, osslsigncode verifying
# every signed file against that root (and refusing it with a byte changed or
# against another root), and under Wine the signed exe's -List, the signed exe
# switching the simulated modem end to end, and the signed package installed
# and removed by msiexec.
#   tests/signing/signing-test.sh BUILD_FOLDER     (build/x86_64 or build/i686)
# ctest runs it in the Wine prefix of scripts/run-suites.sh or scripts/test.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_FOLDER}" && pwd)
build_name=$(basename "$build")
case $build_name in
  i686) arch=x86 ;;
  x86_64) arch=x64 ;;
  *) echo "signing-test: $build is not build/i686 or build/x86_64" >&2; exit 1 ;;
esac
[ "$build" = "$root/build/$build_name" ] || { echo "signing-test: scripts/package.sh packages $root/build/$build_name, not $build" >&2; exit 1; }
[ -n "${WINEPREFIX:-}" ] || { echo "signing-test: no Wine prefix: run it through scripts/run-suites.sh" >&2; exit 1; }
for tool in openssl osslsigncode softhsm2-util msiextract msiinfo winepath; do
  command -v "$tool" >/dev/null || { echo "signing-test: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# --- the throwaway certificates -------------------------------------------
# A root, a publisher certificate for code signing issued by it, and a second
# root that issued nothing here.
make_root() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.crt" -days 2 \
    -subj "/CN=$2" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_root root "CDZorra Test Root" && make_root other-root "Another Test Root" &&
openssl req -newkey rsa:2048 -nodes -keyout "$work/publisher.key" -out "$work/publisher.csr" \
  -subj "/CN=CDZorra Test Publisher/O=CDZorra" 2>/dev/null &&
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$work/publisher.ext" &&
openssl x509 -req -in "$work/publisher.csr" -CA "$work/root.crt" -CAkey "$work/root.key" -CAcreateserial \
  -days 2 -extfile "$work/publisher.ext" -out "$work/publisher.crt" 2>/dev/null &&
openssl rand -hex 12 >"$work/password" &&
openssl pkcs12 -export -inkey "$work/publisher.key" -in "$work/publisher.crt" -certfile "$work/root.crt" \
  -passout "file:$work/password" -out "$work/publisher.p12" ||
  { echo "signing-test: openssl could not make the test certificates" >&2; exit 1; }
printf 'wrong\n' >"$work/wrong-password"

# --- what package.sh refuses before it builds anything ---------------------
# Each: the arguments | what the message says. Nothing may be written.
while IFS='|' read -r arguments message; do
  # shellcheck disable=SC2086  # the arguments are words of the table
  eval "set -- $arguments"
  out=$work/refused
  if output=$(bash "$root/scripts/package.sh" "$@" --out "$out" "$build_name" 2>&1); then
    fail "package.sh $arguments was accepted"
  elif ! grep -qF -- "$message" <<<"$output"; then
    fail "package.sh $arguments: \"$message\" expected, got: $output"
  elif [ -n "$(find "$out" -type f 2>/dev/null)" ]; then
    fail "package.sh $arguments wrote $(find "$out" -type f | head -1)"
  else
    pass "package.sh $arguments is refused"
  fi
  rm -rf "$out"
done <<EOF
--pfx "$work/publisher.p12"|--pfx needs --password-file FILE
--pfx "$work/publisher.p12" --password-file "$work/password" --pkcs11-module /x.so|exclude each other
--pkcs11-module /x.so --pkcs11-key "pkcs11:object=k"|needs all of --pkcs11-module LIBRARY --pkcs11-key URI --cert FILE
--timestamp http://timestamp.example|need a key
--pfx "$work/none.p12" --password-file "$work/password"|$work/none.p12 cannot be read
--pfx "$work/publisher.p12" --password-file "$work/password" --timestamp timestamp.example|RFC 3161
--pfx "$work/publisher.p12" --password-file "$work/wrong-password"|signing CDZorra_Detect.exe failed
--pfx|--pfx needs a value
EOF

# --- signing, and verifying every signed file --------------------------------
# verify_all FOLDER: the exe and the DLL as packaged, the package, and the two
# files inside the package (which must be the signed ones, unchanged).
verify_all() {
  local folder=$1 how=$2 msi file inside
  msi=$(ls "$folder"/CDZorra_Detect-*-"$arch".msi 2>/dev/null)
  [ -n "$msi" ] || { fail "$how: no package was made"; return; }
  inside=$folder/inside
  mkdir -p "$inside"
  msiextract -C "$inside" "$msi" >/dev/null && msiinfo extract "$msi" Binary.SetupActions >"$inside/CDZorra_Setup.dll" ||
    fail "$how: the package cannot be unpacked"
  for file in "$folder/$arch/CDZorra_Detect.exe" "$folder/$arch/CDZorra_Setup.dll" "$msi" \
              "$inside/CDZorra/CDZorra_Detect.exe" "$inside/CDZorra_Setup.dll"; do
    if osslsigncode verify -CAfile "$work/root.crt" -in "$file" >"$work/verify.log" 2>&1; then
      pass "$how: ${file#"$folder"/} verifies against the test root"
    else
      fail "$how: ${file#"$folder"/} does not verify: $(tail -3 "$work/verify.log")"
    fi
    if osslsigncode verify -CAfile "$work/other-root.crt" -in "$file" >/dev/null 2>&1; then
      fail "$how: ${file#"$folder"/} verifies against a root that did not issue its certificate"
    fi
  done
  # The publisher the Programs list shows is the exe's (common/Version.h).
  local manufacturer company
  manufacturer=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "Manufacturer" { print $2 }')
  company=$(sed -n 's/^#define CDZ_COMPANY_NAME "\(.*\)"$/\1/p' "$root/common/Version.h")
  [ -n "$company" ] && [ "$manufacturer" = "$company" ] &&
    pass "$how: the package's Manufacturer is \"$company\"" ||
    fail "$how: the package's Manufacturer is \"$manufacturer\", not \"$company\" (common/Version.h)"
  cmp -s "$inside/CDZorra/CDZorra_Detect.exe" "$folder/$arch/CDZorra_Detect.exe" &&
    cmp -s "$inside/CDZorra_Setup.dll" "$folder/$arch/CDZorra_Setup.dll" &&
    pass "$how: the package carries the signed exe and DLL unchanged" ||
    fail "$how: the package's exe or DLL differs from the signed one"
}

signed=$work/signed
if bash "$root/scripts/package.sh" --pfx "$work/publisher.p12" --password-file "$work/password" \
     --out "$signed" "$build_name" >"$work/package.log" 2>&1; then
  verify_all "$signed" "key file"
else
  fail "package.sh with a key file: $(cat "$work/package.log")"
fi

# One byte changed in what each signature covers (the middle of an exe or a
# DLL; the middle of the package's cabinet) must make its check fail.
flip_byte() {
  local file=$1 at
  at=$(( $(stat -c %s "$file") / 2 ))
  case $file in
    *.msi) at=$(grep -obUaP 'MSCF\x00\x00\x00\x00' "$file" | head -1 | cut -d: -f1)
           at=$(( ${at:-0} + 4096 )) ;;
  esac
  local byte
  byte=$(od -An -tu1 -j "$at" -N1 "$file" | tr -d ' ')
  printf "\\$(printf '%03o' $(( (byte ^ 0x5A) & 0xFF )))" | dd of="$file" bs=1 seek="$at" conv=notrunc status=none
}
for file in "$signed/$arch/CDZorra_Detect.exe" "$signed/$arch/CDZorra_Setup.dll" "$signed"/CDZorra_Detect-*-"$arch".msi; do
  [ -f "$file" ] || continue
  changed=$work/changed-$(basename "$file")
  cp "$file" "$changed"
  flip_byte "$changed"
  if cmp -s "$file" "$changed"; then
    fail "$(basename "$file"): the byte was not changed"
  elif osslsigncode verify -CAfile "$work/root.crt" -in "$changed" >/dev/null 2>&1; then
    fail "$(basename "$file") with one byte changed still verifies"
  else
    pass "$(basename "$file") with one byte changed fails its check"
  fi
done

# --- the same through a PKCS#11 token ----------------------------------------
# SoftHSM2 holds the publisher's key in a token of its own, in this folder;
# the PIN is read from a file, as a build machine's is.
module=
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  [ -f "$candidate" ] && { module=$candidate; break; }
done
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
printf '2468' >"$work/pin"
if [ -z "$module" ]; then
  fail "SoftHSM2's PKCS#11 module is missing (scripts/setup.sh installs softhsm2)"
elif ! { softhsm2-util --init-token --free --label cdz-test --so-pin 13579 --pin 2468 &&
         openssl pkcs8 -topk8 -nocrypt -in "$work/publisher.key" -out "$work/publisher.pk8" &&
         softhsm2-util --import "$work/publisher.pk8" --token cdz-test --label publisher --id 01 --pin 2468; } \
       >"$work/token.log" 2>&1; then
  fail "the token cannot be made: $(cat "$work/token.log")"
else
  key="pkcs11:token=cdz-test;object=publisher;type=private"
  token=$work/token
  if bash "$root/scripts/package.sh" --pkcs11-module "$module" --pkcs11-key "$key" --cert "$work/publisher.crt" \
       --password-file "$work/pin" --out "$token" "$build_name" >"$work/package.log" 2>&1; then
    verify_all "$token" "token"
  else
    fail "package.sh with a token: $(cat "$work/package.log")"
  fi
  if bash "$root/scripts/package.sh" --pkcs11-module "$module" --pkcs11-key "$key" --cert "$work/publisher.crt" \
       --password-file "$work/wrong-password" --out "$work/wrong-pin" "$build_name" >"$work/package.log" 2>&1; then
    fail "package.sh signed with a wrong PIN"
  elif [ -n "$(find "$work/wrong-pin" -name '*.msi' 2>/dev/null)" ]; then
    fail "package.sh left a package after its signing failed"
  else
    pass "a wrong PIN fails the packaging and leaves no package"
  fi
fi

# --- under Wine -------------------------------------------------------------
signed_exe=$signed/$arch/CDZorra_Detect.exe
if [ -f "$signed_exe" ]; then
  # -List names the signer of the running exe, and sees a byte changed.
  listing=$(wine "$signed_exe" -List 2>/dev/null | tr -d '\r' | grep -a '^Signature:')
  case $listing in
    *'signed by "CDZorra Test Publisher"'*'changed after'*) fail "-List of the signed exe: $listing" ;;
    *'signed by "CDZorra Test Publisher" (CN=CDZorra Test Publisher, O=CDZorra)'*) pass "-List of the signed exe: $listing" ;;
    *) fail "-List of the signed exe: \"$listing\"" ;;
  esac
  cp "$work/changed-CDZorra_Detect.exe" "$work/CDZorra_Detect.exe"
  listing=$(wine "$work/CDZorra_Detect.exe" -List 2>/dev/null | tr -d '\r' | grep -a '^Signature:')
  case $listing in
    *'signed by "CDZorra Test Publisher"'*'the file was changed after it was signed'*) pass "-List of the changed exe: $listing" ;;
    *) fail "-List of the exe with one byte changed: \"$listing\"" ;;
  esac

  # The end-to-end switch with the signed exe: the suite takes the exe from
  # beside itself, so it runs from a folder of the build's programs in which
  # the exe is the signed one.
  e2e=$work/e2e
  mkdir -p "$e2e"
  for program in "$build"/bin/*; do
    [ -f "$program" ] && ln -s "$program" "$e2e/"
  done
  # Copies, not links, of the test program (its folder is where its own path
  # lies) and of the exe, which is the signed one.
  rm -f "$e2e/test_e2e.exe" "$e2e/CDZorra_Detect.exe"
  cp "$build/bin/test_e2e.exe" "$e2e/"
  cp "$signed_exe" "$e2e/CDZorra_Detect.exe"
  filter='Releases/EndToEndPerRelease.PlugSwitchesOnceAndStartsTheClientWhenTheModemIsReady/win10'
  if (cd "$e2e" && wine ./test_e2e.exe --gtest_filter="$filter") >"$work/e2e.log" 2>&1 &&
     grep -q '\[  PASSED  \] 1 test' "$work/e2e.log"; then
    pass "the signed exe switches the simulated modem end to end"
  else
    fail "the signed exe, end to end: $(tail -20 "$work/e2e.log")"
  fi
fi

# The signed package, installed and removed by the prefix's msiexec; the
# installed exe still carries its signature.
msi=$(ls "$signed"/CDZorra_Detect-*-"$arch".msi 2>/dev/null)
if [ -n "$msi" ]; then
  msi_windows=$(winepath -w "$msi")
  if wine msiexec /i "$msi_windows" /qn /l*v "$(winepath -w "$work/install.log")" >/dev/null 2>&1; then
    # A 32-bit package on 64-bit Windows installs into "Program Files (x86)".
    program_files=
    [ "$arch" = x86 ] && program_files=$(wine cmd /c 'echo %ProgramFiles(x86)%' 2>/dev/null | tr -d '\r')
    case $program_files in ''|*%*) program_files=$(wine cmd /c 'echo %ProgramFiles%' 2>/dev/null | tr -d '\r') ;; esac
    installed=$(winepath -u "$program_files")/CDZorra/CDZorra_Detect.exe
    if cmp -s "$installed" "$signed_exe" && osslsigncode verify -CAfile "$work/root.crt" -in "$installed" >/dev/null 2>&1; then
      pass "the signed package installs its signed exe"
    else
      fail "the installed exe ($installed) is not the signed one"
    fi
    if wine msiexec /x "$msi_windows" /qn >/dev/null 2>&1 && [ ! -e "$installed" ]; then
      pass "the signed package is removed"
    else
      fail "msiexec /x did not remove the signed package"
    fi
  else
    fail "msiexec /i of the signed package failed: $(iconv -f UTF-16LE -t UTF-8 "$work/install.log" 2>/dev/null | grep -a 'return value 3' | head -3)"
  fi
fi

[ "$failures" -eq 0 ] || { echo "signing-test: $failures failed"; exit 1; }
echo "signing-test: all passed"
