#!/usr/bin/env bash
# Checks a Windows deployment folder against what its programs really load: every library that
# an executable or library in it imports, directly or through another, is either in the folder
# or one of Windows' own (found neither in Qt's prefix nor among MinGW's runtime libraries).
# Usage: check-deployment.sh DEPLOY_DIR OBJDUMP FOLDER_OF_NON_SYSTEM_LIBRARIES...
set -euo pipefail
deploy=$1 objdump=$2
shift 2
non_system=("$@")

lower() { tr '[:upper:]' '[:lower:]'; }
mapfile -t shipped < <(cd "$deploy" && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) |
    sed 's|^\./||' | sort)
declare -A present
for file in "${shipped[@]}"; do
    present[$(basename "$file" | lower)]=1
done

missing=0
for file in "${shipped[@]}"; do
    while read -r library; do
        key=$(echo "$library" | lower)
        [ -n "${present[$key]:-}" ] && continue
        for folder in "${non_system[@]}"; do
            if [ -n "$(find "$folder" -maxdepth 1 -iname "$library" -print -quit)" ]; then
                echo "check-deployment: $file loads $library, which the deployment lacks" >&2
                missing=$((missing + 1))
                break
            fi
        done
    done < <("$objdump" -p "$deploy/$file" | sed -n 's/^\s*DLL Name: //p')
done
[ "$missing" -eq 0 ] || exit 1
echo "check-deployment: ${#shipped[@]} programs and libraries, each finds what it loads"
