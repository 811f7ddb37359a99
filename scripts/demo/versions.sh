# Versions 1 and 2 of the demo's three components (core, emoticons, gg), written below
# $versions/1 and $versions/2: sourced by demo.sh and bench/delta/run.sh.
# Writes file $2 (below folder $1) with the text $3.
put() { mkdir -p "$(dirname "$1/$2")"; printf '%s\n' "$3" >"$1/$2"; }
# Writes $3 bytes of reproducible binary data, seeded by $4, into file $2 below folder $1.
put_binary() {
    mkdir -p "$(dirname "$1/$2")"
    /usr/bin/python3 -c 'import random, sys
sys.stdout.buffer.write(random.Random(sys.argv[2]).randbytes(int(sys.argv[1])))' "$3" "$4" >"$1/$2"
}
# Changes file $2 below folder $1 as a new build or an edit does, reproducibly: $3 places spread
# over the file get a few new bytes each, and $4 bytes are inserted at a quarter of it.
edit_binary() {
    /usr/bin/python3 -c 'import random, sys
path, places, inserted = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = bytearray(open(path, "rb").read())
rng = random.Random(path.rsplit("/", 1)[-1])
for k in range(places):
    at = (k * 2 + 1) * len(data) // (2 * places)
    data[at:at + 8] = rng.randbytes(8)
at = len(data) // 4
data[at:at] = rng.randbytes(inserted)
open(path, "wb").write(data)' "$1/$2" "$3" "$4"
}

write_versions() {
    rm -rf "$versions"
    local one=$versions/1 two=$versions/2
    # core (app): the main application's files; it carries the "components" file that
    # orvi7.exe reads its inventory from, so after the update it reports the new versions.
    put "$one/core" components "$(printf '%s\n' '# project  name       type    version' \
        'orvi       core       app     7.0' 'orvi       emoticons  app     1.0' \
        'orvi       gg         plugin  1.2')"
    put "$one/core" readme.txt "Orvi messenger 7.0"
    put "$one/core" old.txt "left over from 6.x, removed in 7.1"
    put_binary "$one/core" lib/core.dll 700000 core-7.0
    put "$one/core" lib/legacy/compat.dll "compatibility layer, removed in 7.1"
    put_binary "$one/core" lib/media.pak 400000 media-7.0
    mkdir -p "$one/core/lib/dictionaries"
    head -c 64000000 <(yes "Orvi spelling dictionary") >"$one/core/lib/dictionaries/en.dic"
    put "$one/emoticons" emoticons/smile.png "smile 1.0"
    put "$one/emoticons" emoticons/sad.png "sad 1.0, removed in 1.1"
    put "$one/gg" gg/gg.so "gg plug-in 1.2"
    put "$one/gg" gg/icons/gg.png "gg icon"

    cp -a "$one" "$two"
    put "$two/core" components "$(printf '%s\n' '# project  name       type    version' \
        'orvi       core       app     7.1' 'orvi       emoticons  app     1.1' \
        'orvi       gg         plugin  1.3')"
    put "$two/core" readme.txt "Orvi messenger 7.1"
    rm "$two/core/old.txt" "$two/core/lib/legacy/compat.dll"
    rmdir "$two/core/lib/legacy"
    # As a real release: the library rebuilt with small differences, the media resource edited
    # in place, one new file; the deltas carry only that.
    edit_binary "$two/core" lib/core.dll 40 600
    edit_binary "$two/core" lib/media.pak 12 0
    put "$two/core" lib/net/http/transport.dll "new transport 7.1"
    # Large but compressing to almost nothing: quick to download, slow enough to install
    # that the install window can be seen. Version 2 adds words at its end.
    printf 'words new in 7.1\n' >>"$two/core/lib/dictionaries/en.dic"
    put "$two/emoticons" emoticons/smile.png "smile 1.1"
    rm "$two/emoticons/emoticons/sad.png"
    put "$two/emoticons" emoticons/animated/wink.gif "wink 1.1"
    put "$two/gg" gg/gg.so "gg plug-in 1.3"
    put "$two/gg" gg/sounds/ring.wav "ring"
}
