#include "payloadmode.h"

namespace {
// Set-user-ID and the like are never carried over, from either side.
constexpr int permissionBits = 0777;
constexpr int executeBits = 0111;
constexpr int groupAndOtherWrite = 0022;
constexpr int plainFile = 0644;
} // namespace

int PayloadMode::of(int replacedMode, int entryMode, int creationMask)
{
    int mode = plainFile;
    if (replacedMode != none) {
        mode = replacedMode & permissionBits;
        if (entryMode != none)
            mode = (mode & ~executeBits) | (entryMode & executeBits);
    } else if (entryMode != none) {
        mode = entryMode & permissionBits;
    }
    return mode & ~groupAndOtherWrite & ~creationMask;
}
