#!/usr/bin/env bash
# Syntax-checks the Windows-only sources (every *_win.cpp under src/) with Debian's MinGW cross
# compiler against the installed Qt headers, so that code no Linux build compiles cannot rot
# unseen. Qt's headers are system headers here: their own warnings are not ours.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
qt=${QT_INCLUDE_DIR:-$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)}

command -v "$cxx" >/dev/null || { echo "check-windows: $cxx not found (g++-mingw-w64-x86-64-posix)" >&2; exit 2; }
[ -d "$qt/QtCore" ] || { echo "check-windows: no Qt headers in $qt" >&2; exit 2; }

flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE
       -DQT_NO_CAST_FROM_ASCII -DQT_NO_URL_CAST_FROM_STRING
       -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets"
       -isystem "$qt/QtNetwork" -isystem "$qt/QtXml")
for layer in "$root"/src/*/; do
    flags+=(-I "$layer")
done

mapfile -t sources < <(find "$root/src" -name '*_win.cpp' | sort)
[ ${#sources[@]} -gt 0 ] || { echo "check-windows: no Windows-only sources found" >&2; exit 2; }
failed=0
for source in "${sources[@]}"; do
    if "$cxx" "${flags[@]}" "$source"; then
        echo "check-windows: ${source#"$root"/} ok"
    else
        echo "check-windows: ${source#"$root"/} FAILED" >&2
        failed=$((failed + 1))
    fi
done
[ "$failed" -eq 0 ] || { echo "check-windows: $failed of ${#sources[@]} sources failed" >&2; exit 1; }
echo "check-windows: ${#sources[@]} Windows-only sources compile for x86_64-w64-mingw32"
