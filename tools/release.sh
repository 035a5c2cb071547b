#!/usr/bin/env bash
# Builds the release package of this checkout into dist/:
#   dist/canlib32-<git describe>.zip  x86/ and x64/, each with canlib32.dll and canopen-scan.exe
#                                     (Release, stripped) for 32-bit and 64-bit hosts,
#                                     user-guide.html, korval.lua (the Wireshark dissector),
#                                     LICENSE, README.txt with the SHA-256 of each program
#   dist/SHA256SUMS                   the zip's SHA-256, as sha256sum -c reads it
# The same commit gives the same bytes in any folder at any time: every time stamp is the
# commit's, no build path reaches the files, and the zip has a fixed order and fixed times.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
# A broken install stops the release as it would the tests (the probe said what to install).
probe=0
limit=$("$root/tools/can-run-32bit") || probe=$?
((probe <= 1)) || exit "$probe"

if ! version=$(git -C "$root" describe --always --dirty); then
    echo "release: $root is not a git checkout; the package is named after its commit" >&2
    exit 1
fi
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
package=canlib32-$version
stage=$root/build/release/package
dist=$root/dist
rm -rf "$stage" "$dist"
mkdir -p "$stage" "$dist"

# Builds the DLL and canopen-scan for one architecture into the package folder $2.
build_architecture() {
    local toolchain=$1 folder=$2
    local dir=$root/build/release/$folder
    echo "== building $folder with $toolchain"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCANLIB_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s \
        >/dev/null
    cmake --build "$dir" --target canlib32 canopen-scan
    mkdir -p "$stage/$folder"
    cp "$dir/bin/canlib32.dll" "$dir/bin/canopen-scan.exe" "$stage/$folder/"
    binaries+=("$folder/canlib32.dll" "$folder/canopen-scan.exe")
}
binaries=()
# Cross-built and packaged, never run: the same package on either kind of machine.
if ((probe == 1)); then
    echo "$limit: the release runs none of its programs; the x86 ones are built as anywhere"
fi
build_architecture mingw-i686.cmake x86
build_architecture mingw-x86_64.cmake x64

echo "== user guide, dissector, LICENSE and README.txt"
# What makes the bytes: compilers and linkers, the Windows headers and runtime, pandoc for the
# guide, Python's zipfile with zlib for the zip.
build_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 mingw-w64-common pandoc python3 zlib1g)
# GitHub's heading ids, so that the guide's own table of contents links work.
pandoc -f gfm -t html5 --self-contained --resource-path="$root/docs" \
    --shift-heading-level-by=-1 -o "$stage/user-guide.html" "$root/docs/user-guide.md"
cp "$root/tools/wireshark/korval.lua" "$root/LICENSE" "$stage/"
{
    sed "s/@VERSION@/$version/g" "$root/docs/release-readme.txt"
    for file in "${binaries[@]}"; do
        echo "  $(sha256sum "$stage/$file" | cut -d' ' -f1)  ${file//\//\\}"
    done
    echo
    echo "Built with these Debian 12 packages. The same commit built with the same versions"
    echo "gives the same bytes; other versions of them give other bytes:"
    echo
    # zlib1g is there once per architecture.
    dpkg-query -W -f='  ${Package} ${Version}\n' "${build_packages[@]}" | sort -u
} | sed 's/$/\r/' >"$stage/README.txt" # Notepad's line ends

echo "== $package.zip"
/usr/bin/python3 - "$dist/$package.zip" "$stage" "${binaries[@]}" user-guide.html \
    korval.lua LICENSE README.txt <<'PY'
import os, sys, time, zipfile

archive, stage, names = sys.argv[1], sys.argv[2], sys.argv[3:]
# Zip times start in 1980; the commit's time, in UTC, for every entry.
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
with zipfile.ZipFile(archive, "w") as z:
    for name in names:
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o644 << 16
        with open(os.path.join(stage, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
        print(f"  {name}")
PY
(cd "$dist" && sha256sum "$package.zip" >SHA256SUMS)
echo "== $dist"
cat "$dist/SHA256SUMS"
