#!/usr/bin/env bash
# Builds the Windows Installer packages from the built programs, with wixl
# and msibuild from Debian's msitools (scripts/setup.sh installs them):
#   build/package/CDZorra_Detect-<version>-x86.msi   from build/i686
#   build/package/CDZorra_Detect-<version>-x64.msi   from build/x86_64
# <version> is the exe's own version resource (common/Version.h), without its
# fourth number, which Windows Installer ignores. A build that holds the
# tests' older exe (CDZorra_Detect_older.exe) also gets a package of it in
# build/package/test/, which the package tests upgrade from.
#   scripts/package.sh            every architecture that is built (run scripts/build.sh first)
#   scripts/package.sh x86_64     one of them
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arches=("$@")
if [ ${#arches[@]} -eq 0 ]; then
  for build in i686 x86_64; do
    [ -f "build/$build/bin/CDZorra_Detect.exe" ] && arches+=("$build")
  done
  [ ${#arches[@]} -gt 0 ] || { echo "package: nothing is built (run scripts/build.sh)" >&2; exit 1; }
fi

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
  local version product stage msi script_attributes
  version=$(exe_version "$exe")
  product=${version%.*}
  stage=$(mktemp -d)
  # wixl takes only paths below its current folder.
  cp "$exe" "$stage/CDZorra_Detect.exe"
  cp "$dll" "$stage/CDZorra_Setup.dll"
  sed 's/\r*$/\r/' installer/SampleScript.ini >"$stage/CDZorra.ini"
  (cd "$stage" && wixl -a "$arch" -o package.msi \
      -D Version="$product" -D Arch="$arch" -D ProductCode="$(product_code "$product" "$arch")" \
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
  mkdir -p "$out"
  msi="$out/CDZorra_Detect-$product-$arch.msi"
  rm -f "$out"/CDZorra_Detect-*-"$arch".msi
  mv "$stage/package.msi" "$msi"
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
  build_package "$bin/CDZorra_Detect.exe" "$bin/CDZorra_Setup.dll" "$arch" build/package
  if [ -f "$bin/CDZorra_Detect_older.exe" ]; then
    build_package "$bin/CDZorra_Detect_older.exe" "$bin/CDZorra_Setup.dll" "$arch" build/package/test
  fi
done
