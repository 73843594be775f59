#!/usr/bin/env bash
# The Windows deliverables, for each architecture: an MSI (per-machine, under
# Program Files\zvtappad, features "Runtime" and "SDK") and a .zip of the same
# files, made on Linux with MinGW-w64, llvm-dlltool and wixl.
#
# Usage: tools/windows_package.sh OUT_DIR [ARCH=BUILD_DIR ...]
#   ARCH is x64 or x86; BUILD_DIR a build tree of that architecture, configured
#   and built here as far as the package needs (default: x64=build-win and
#   x86=build-win32).
# ZVT_MSI_BUILD=N sets the last field of the MSI's version (default 0): an MSI
# of a higher one upgrades an installed one in place.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(x64="$here/build-win" x86="$here/build-win32")

project_version=$(sed -n 's/^project(zvtappad VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
version="$project_version.${ZVT_MSI_BUILD:-0}"
# The product's identity across versions: never change it.
upgrade_code_x64=8f3c2a57-4d1e-4b8a-9f6e-2c7d5e1a9b30
upgrade_code_x86=3e9b6d12-7a4c-4f0e-8b2d-5a1c9e7f4d61
runtime_targets=(zvtappad zvtclient zvtshare zvtusrgp zvtpgmrs zvtadmrs zvtadm)
runtime_files=(zvtappad.dll zvtclient.dll zvtshare.dll zvtusrgp.dll ZVTPGMRS.DLL zvtadmrs.dll
               zvtadm.exe)

# wxs_files ID_PREFIX DIR FILE...: a component per file, with the file as key
# (DIR relative to the staging directory).
wxs_files() {
  local prefix=$1 dir=$2
  shift 2
  for f in "$@"; do
    local id="${prefix}_$(tr -c 'A-Za-z0-9\n' '_' <<<"$f")"
    echo "<Component Id=\"c_$id\" Guid=\"*\" Win64=\"$win64\">"
    echo "  <File Id=\"f_$id\" Source=\"$dir/$f\" KeyPath=\"yes\"/>"
    echo "</Component>"
  done
}

for build in "${builds[@]}"; do
  arch=${build%%=*}
  dir=${build#*=}
  case $arch in
    x64) toolchain=mingw-w64; triple=x86_64-w64-mingw32; machine=i386:x86-64
         program_files=ProgramFiles64Folder; win64=yes; upgrade_code=$upgrade_code_x64 ;;
    x86) toolchain=mingw-w64-i686; triple=i686-w64-mingw32; machine=i386
         program_files=ProgramFilesFolder; win64=no; upgrade_code=$upgrade_code_x86 ;;
    *) echo "windows_package.sh: unknown architecture $arch" >&2; exit 2 ;;
  esac
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target "${runtime_targets[@]}" >/dev/null

  # The tree as installed: the runtime in the install directory, the SDK
  # below it.
  stage=$out/stage-$arch/zvtappad
  rm -rf "$out/stage-$arch"
  mkdir -p "$stage/sdk/include/zvtappad" "$stage/sdk/lib" "$stage/sdk/examples"
  for f in "${runtime_files[@]}"; do
    "$triple-strip" -o "$stage/$f" "$dir/bin/$f"
  done
  cp "$here/include/zvtappad/zvtappad.h" "$here/include/zvtappad/zvtclient.h" \
    "$stage/sdk/include/zvtappad/"
  # Import libraries: MinGW's as the build made them, Microsoft's linker's
  # made from the module-definition files.
  cp "$dir/lib/libzvtappad.dll.a" "$dir/lib/libzvtclient.dll.a" "$stage/sdk/lib/"
  llvm-dlltool -m "$machine" -d "$here/src/api/zvtappad.def" -l "$stage/sdk/lib/zvtappad.lib"
  llvm-dlltool -m "$machine" -d "$here/windows/zvtclient.def" -l "$stage/sdk/lib/zvtclient.lib"
  cp "$here/windows/examples/admin_value.c" "$stage/sdk/examples/"
  sed "s/@ARCH@/$arch/g; s/@VERSION@/$version/g" "$here/windows/SDK.txt" >"$stage/sdk/README.txt"
  runtime_ids=$(printf 'Runtime_%s\n' "${runtime_files[@]}" | tr -c 'A-Za-z0-9\n' '_')

  wxs=$out/zvtappad-$arch.wxs
  {
    cat <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
 <Product Id="*" Name="zvtappad ($arch)" Language="1033" Version="$version" Manufacturer="VYN"
          UpgradeCode="$upgrade_code">
  <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
           Description="zvtappad $version: the administered-function client library"/>
  <MajorUpgrade DowngradeErrorMessage="A newer zvtappad is installed."/>
  <Media Id="1" Cabinet="zvtappad.cab" EmbedCab="yes"/>
  <Directory Id="TARGETDIR" Name="SourceDir">
   <Directory Id="$program_files">
    <Directory Id="INSTALLDIR" Name="zvtappad">
     <Component Id="c_InstallPath" Guid="*" Win64="$win64">
      <RegistryValue Root="HKLM" Key="Software\\VYN\\Tarvo.Network" Name="InstallPath"
                     Type="string" Value="[INSTALLDIR]" KeyPath="yes"/>
     </Component>
$(wxs_files Runtime zvtappad "${runtime_files[@]}")
     <Directory Id="SDKDIR" Name="sdk">
$(wxs_files Sdk zvtappad/sdk README.txt)
      <Directory Id="SDKINCLUDE" Name="include">
       <Directory Id="SDKINCLUDEZVT" Name="zvtappad">
$(wxs_files Include zvtappad/sdk/include/zvtappad zvtappad.h zvtclient.h)
       </Directory>
      </Directory>
      <Directory Id="SDKLIB" Name="lib">
$(wxs_files Lib zvtappad/sdk/lib zvtappad.lib zvtclient.lib libzvtappad.dll.a libzvtclient.dll.a)
      </Directory>
      <Directory Id="SDKEXAMPLES" Name="examples">
$(wxs_files Example zvtappad/sdk/examples admin_value.c)
      </Directory>
     </Directory>
    </Directory>
   </Directory>
  </Directory>
  <Feature Id="Runtime" Title="Runtime" Level="1"
           Description="The library, its client libraries and zvtadm.exe">
   <ComponentRef Id="c_InstallPath"/>
$(for id in $runtime_ids; do echo "   <ComponentRef Id=\"c_$id\"/>"; done)
  </Feature>
  <Feature Id="SDK" Title="SDK" Level="1"
           Description="Headers, import libraries for MSVC and MinGW, and an example">
$(for id in Sdk_README_txt Include_zvtappad_h Include_zvtclient_h Lib_zvtappad_lib Lib_zvtclient_lib \
            Lib_libzvtappad_dll_a Lib_libzvtclient_dll_a Example_admin_value_c; do
    echo "   <ComponentRef Id=\"c_$id\"/>"; done)
  </Feature>
 </Product>
</Wix>
WXS
  } >"$wxs"
  rm -f "$out/zvtappad-$arch.msi" "$out/zvtappad-$arch.zip"
  # (wixl takes the sources' paths relative to where it runs.)
  (cd "$out/stage-$arch" && wixl -a "$arch" -o "$out/zvtappad-$arch.msi" "$wxs")
  (cd "$out/stage-$arch" && zip -qr "$out/zvtappad-$arch.zip" zvtappad)
  echo "$out/zvtappad-$arch.msi $out/zvtappad-$arch.zip ($version)"
done
