#!/usr/bin/env bash
# Builds the Windows Installer packages from the built programs, with wixl
# and msibuild from Debian's msitools (scripts/setup.sh installs them):
#   build/package/CDZorra_Detect-<version>-x86.msi   from build/i686
#   build/package/CDZorra_Detect-<version>-x64.msi   from build/x86_64
#   build/package/<x86|x64>/CDZorra_Detect.exe, CDZorra_Setup.dll
#                                          the files as the package carries them
# <version> is the exe's own version resource (common/Version.h), without its
# fourth number, which Windows Installer ignores; the packages' Manufacturer
# is that resource's CompanyName. A build that holds the tests' older exe
# (CDZorra_Detect_older.exe) also gets a package of it in
# build/package/test/, which the package tests upgrade from.
#   scripts/package.sh [SIGNING] [--out FOLDER] [i686] [x86_64]
# Without an architecture, every one that is built (run scripts/build.sh
# first); --out puts everything in FOLDER instead of build/package.
#
# SIGNING signs, with Debian's osslsigncode (SHA-256), the exe and the
# custom-action DLL before they go into the package, then the package itself,
# each once its content is final. The key is either a PKCS#12 file, whose
# password is read from a file (never from the command line):
#   --pfx FILE --password-file FILE
# or a key held by a PKCS#11 token (a hardware token or an HSM), with the
# certificate (and the chain to give with it) in a PEM file, and the
# token's PIN read from --password-file when it needs one:
#   --pkcs11-module LIBRARY --pkcs11-key URI --cert FILE [--password-file FILE]
# and, with either:
#   --timestamp URL      an RFC 3161 timestamp authority; none by default
# Without a key nothing is signed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

fail() { echo "package: $*" >&2; exit 1; }
arches=()
out=build/package
pfx= password_file= pkcs11_module= pkcs11_key= cert= timestamp=
while [ $# -gt 0 ]; do
  case $1 in
    --pfx|--password-file|--pkcs11-module|--pkcs11-key|--cert|--timestamp|--out)
      [ $# -ge 2 ] && [ -n "$2" ] && [ "${2#-}" = "$2" ] || fail "$1 needs a value"
      case $1 in
        --pfx) pfx=$2 ;;
        --password-file) password_file=$2 ;;
        --pkcs11-module) pkcs11_module=$2 ;;
        --pkcs11-key) pkcs11_key=$2 ;;
        --cert) cert=$2 ;;
        --timestamp) timestamp=$2 ;;
        --out) out=$2 ;;
      esac
      shift 2 ;;
    -*) fail "unknown option $1" ;;
    *) arches+=("$1"); shift ;;
  esac
done

# The osslsigncode arguments that choose the key, empty when nothing is signed.
sign_key=()
if [ -n "$pfx" ] && [ -n "$pkcs11_module$pkcs11_key$cert" ]; then
  fail "--pfx and the PKCS#11 options (--pkcs11-module, --pkcs11-key, --cert) exclude each other"
elif [ -n "$pfx" ]; then
  [ -n "$password_file" ] || fail "--pfx needs --password-file FILE: the password is read from a file, never from the command line"
  sign_key=(-pkcs12 "$pfx" -readpass "$password_file")
elif [ -n "$pkcs11_module$pkcs11_key$cert" ]; then
  [ -n "$pkcs11_module" ] && [ -n "$pkcs11_key" ] && [ -n "$cert" ] ||
    fail "a key on a PKCS#11 token needs all of --pkcs11-module LIBRARY --pkcs11-key URI --cert FILE"
  # No -pkcs11engine: osslsigncode loads OpenSSL's "pkcs11" engine by its
  # name (Debian's libengine-pkcs11-openssl); the 2.5 of Debian 12 fails when
  # given its path.
  sign_key=(-pkcs11module "$pkcs11_module" -key "$pkcs11_key" -certs "$cert")
  [ -z "$password_file" ] || sign_key+=(-readpass "$password_file")
elif [ -n "$password_file$timestamp" ]; then
  fail "--password-file and --timestamp need a key: --pfx FILE, or --pkcs11-module, --pkcs11-key and --cert"
fi
if [ ${#sign_key[@]} -gt 0 ]; then
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh installs it)"
  for file in "$pfx" "$password_file" "$pkcs11_module" "$cert"; do
    [ -z "$file" ] || [ -r "$file" ] || fail "$file cannot be read"
  done
  case $timestamp in
    ''|http://*|https://*) ;;
    *) fail "--timestamp takes the address of an RFC 3161 timestamp authority (http:// or https://), not \"$timestamp\"" ;;
  esac
  [ -z "$timestamp" ] || sign_key+=(-ts "$timestamp")
fi

if [ ${#arches[@]} -eq 0 ]; then
  for build in i686 x86_64; do
    [ -f "build/$build/bin/CDZorra_Detect.exe" ] && arches+=("$build")
  done
  [ ${#arches[@]} -gt 0 ] || fail "nothing is built (run scripts/build.sh)"
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in wixl msibuild perl md5sum; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

# The FILEVERSION of an exe's VS_FIXEDFILEINFO, as "1.0.0.0".
exe_version() {
  perl -e 'local $/; open(my $f, "<:raw", $ARGV[0]) or die "$ARGV[0]: $!\n"; my $d = <$f>;
           my $key = index($d, join("", map { $_ . "\0" } split(//, "VS_VERSION_INFO")));
           my $at = $key < 0 ? -1 : index($d, pack("V", 0xFEEF04BD), $key);
           die "$ARGV[0]: no version resource\n" if $at < 0;
           my ($ms, $ls) = unpack("V V", substr($d, $at + 8, 8));
           printf("%d.%d.%d.%d\n", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF);' "$1"
}

# A text of the version resource's StringFileInfo ("CompanyName"): the
# String's header (length, value length in characters, type) lies before its
# key, and its value starts at the next 32-bit boundary after the key.
exe_string() {
  perl -e 'local $/; open(my $f, "<:raw", $ARGV[0]) or die "$ARGV[0]: $!\n"; my $d = <$f>;
           my $resource = index($d, join("", map { $_ . "\0" } split(//, "VS_VERSION_INFO")));
           my $key = $resource < 0 ? -1 : index($d, join("", map { $_ . "\0" } split(//, "$ARGV[1]\0")), $resource);
           die "$ARGV[0]: no $ARGV[1] in the version resource\n" if $key < 0;
           my $count = unpack("v", substr($d, $key - 4, 2));
           my $at = ($key + 2 * (length($ARGV[1]) + 1) + 3) & ~3;
           my $text = substr($d, $at, 2 * $count);
           $text =~ s/(\0\0)+$//;
           $text = join("", map { chr } unpack("v*", $text));
           die "$ARGV[0]: $ARGV[1] is empty\n" if $text eq "";
           binmode(STDOUT, ":utf8"); print "$text\n";' "$1" "$2"
}

# sign_file IN OUT DESCRIPTION: OUT is IN with an Authenticode signature
# (the DESCRIPTION is the program name that Windows' prompts show); IN itself
# when nothing is signed. Nothing may change OUT afterwards.
sign_file() {
  local in=$1 signed=$2 description=$3 log
  if [ ${#sign_key[@]} -eq 0 ]; then
    cp "$in" "$signed"
    return 0
  fi
  log=$(mktemp)
  if ! osslsigncode sign "${sign_key[@]}" -h sha256 -n "$description" -in "$in" -out "$signed" >"$log" 2>&1 ||
     [ ! -s "$signed" ]; then
    cat "$log" >&2
    rm -f "$log" "$signed"
    echo "package: signing $(basename "$in") failed" >&2
    return 1
  fi
  rm -f "$log"
}

# The same version and architecture always give the same product code, so a
# package built again is the same product, not a second one beside it.
product_code() {
  local h
  h=$(printf 'CDZorra_Detect %s %s' "$1" "$2" | md5sum | cut -c1-32 | tr a-f A-F)
  echo "${h:0:8}-${h:8:4}-${h:12:4}-${h:16:4}-${h:20:12}"
}

# build_package EXE SETUP_DLL ARCH OUTPUT_FOLDER
build_package() {
  local exe=$1 dll=$2 arch=$3 out=$4
  local version product manufacturer stage msi script_attributes
  version=$(exe_version "$exe")
  product=${version%.*}
  manufacturer=$(exe_string "$exe" CompanyName)
  stage=$(mktemp -d)
  # wixl takes only paths below its current folder. The exe and the DLL are
  # signed before they go in: the package carries them as they are.
  sign_file "$exe" "$stage/CDZorra_Detect.exe" CDZorra_Detect &&
    sign_file "$dll" "$stage/CDZorra_Setup.dll" "CDZorra_Detect setup" || { rm -rf "$stage"; return 1; }
  sed 's/\r*$/\r/' installer/SampleScript.ini >"$stage/CDZorra.ini"
  (cd "$stage" && wixl -a "$arch" -o package.msi \
      -D Version="$product" -D Arch="$arch" -D ProductCode="$(product_code "$product" "$arch")" \
      -D Manufacturer="$manufacturer" \
      -D ExeSource=CDZorra_Detect.exe -D SetupDllSource=CDZorra_Setup.dll -D SampleScriptSource=CDZorra.ini \
      "$root/installer/CDZorra_Detect.wxs" 2>"$stage/wixl.log") || {
    cat "$stage/wixl.log" >&2; rm -rf "$stage"; echo "package: wixl failed for $exe" >&2; return 1; }
  # What wixl 0.101 cannot write: a component condition, NeverOverwrite
  # (0x80; a repair leaves an edited script alone), the exe's file version
  # (without it the exe counts as unversioned), REG_EXPAND_SZ ("#%"), and the
  # rollback (0x100) and commit (0x200) custom actions, which wixl writes as
  # immediate ones whatever their Execute says: each is in-script (0x400), as
  # LocalSystem (0x800), its result ignored (0x40), from a DLL (1).
  script_attributes=128
  [ "$arch" = x64 ] && script_attributes=384  # with 0x100, a 64-bit component
  # DRVSCRIPT and TRACEFILE must reach the server side of an installation
  # that a user without elevation starts: added to the secure properties that
  # wixl lists for the upgrade searches.
  local secure
  secure=$(msiinfo export "$stage/package.msi" Property | tr -d '\r' |
           awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
  msibuild "$stage/package.msi" \
    -q "UPDATE Property SET Value = '${secure:+$secure;}DRVSCRIPT;TRACEFILE' WHERE Property = 'SecureCustomProperties'" \
    -q "UPDATE Component SET Condition = 'TRACEFILE' WHERE Component = 'TraceFileSetting'" \
    -q "UPDATE Component SET Attributes = $script_attributes WHERE Component = 'DriverScript'" \
    -q "UPDATE File SET Version = '$version' WHERE File = 'CDZorraExeFile'" \
    -q "UPDATE Registry SET Value = '#%[#CDZorraExeFile]' WHERE Name = 'EventMessageFile'" \
    -q "UPDATE CustomAction SET Type = 3393 WHERE Action = 'PutBackDriverScripts'" \
    -q "UPDATE CustomAction SET Type = 3393 WHERE Action = 'UnprotectInstallFolder'" \
    -q "UPDATE CustomAction SET Type = 3649 WHERE Action = 'DeleteDriverScriptBackup'"
  # Last, with every table and the summary information final: the package's
  # signature covers them all.
  sign_file "$stage/package.msi" "$stage/signed.msi" "CDZorra_Detect $product ($arch)" || { rm -rf "$stage"; return 1; }
  mkdir -p "$out/$arch"
  msi="$out/CDZorra_Detect-$product-$arch.msi"
  rm -f "$out"/CDZorra_Detect-*-"$arch".msi
  mv "$stage/signed.msi" "$msi"
  mv "$stage/CDZorra_Detect.exe" "$stage/CDZorra_Setup.dll" "$out/$arch/"
  rm -rf "$stage"
  echo "package: $msi"
}

for build in "${arches[@]}"; do
  case $build in
    i686) arch=x86 ;;
    x86_64) arch=x64 ;;
    *) echo "package: unknown build $build (i686 or x86_64)" >&2; exit 1 ;;
  esac
  bin=build/$build/bin
  for file in CDZorra_Detect.exe CDZorra_Setup.dll; do
    [ -f "$bin/$file" ] || { echo "package: $bin/$file is missing (run scripts/build.sh $build)" >&2; exit 1; }
  done
  build_package "$bin/CDZorra_Detect.exe" "$bin/CDZorra_Setup.dll" "$arch" "$out"
  if [ -f "$bin/CDZorra_Detect_older.exe" ]; then
    build_package "$bin/CDZorra_Detect_older.exe" "$bin/CDZorra_Setup.dll" "$arch" "$out/test"
  fi
done
