#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds examples/ against the
# installed package, once through find_package(Kalvex) and once through
# pkg-config, then runs the example.
# Usage: install_test.sh <build directory> <source directory>
set -euo pipefail
build=${1:?build directory}
source=${2:?source directory}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in include/kalvex.h lib/libkalvex.so lib/cmake/Kalvex/KalvexConfig.cmake lib/pkgconfig/kalvex.pc \
            bin/kxoviewer bin/kxorender bin/kxoconvert bin/kxodemo; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done
# Nothing internal reaches the client.
if [ -n "$(find "$prefix/include" -name 'kalvex_*')" ]; then
    echo "internal headers installed" >&2
    exit 1
fi

# With CMake: the example's own project, built as a client would.
mkdir -p "$work/cmake-client"
cat >"$work/cmake-client/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(KalvexClient CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Kalvex REQUIRED)
add_executable(kxexample "$source/examples/kxexample.cpp")
target_link_libraries(kxexample PRIVATE Kalvex::kalvex)
CMAKE
cmake -S "$work/cmake-client" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null

# With pkg-config (the files were installed away from the configured prefix).
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/kxexample-pc" "$source/examples/kxexample.cpp" $(pkg-config --define-variable=prefix="$prefix" --cflags --libs kalvex) \
    -Wl,-rpath,"$prefix/lib"

# Both run against the installed library.
cd "$work"
LD_LIBRARY_PATH=$prefix/lib "$work/cmake-build/kxexample" 2
"$work/kxexample-pc" 2
echo "install test passed"
