// Another program on the user's machine that holds files while the updater replaces them:
//     fileholder open FILE    keeps FILE open, sharing reading and writing but not its deletion
//                             (renames count as deletion), as most Windows programs open files
//     fileholder load FILE    keeps the library FILE loaded
// Started from a folder, it is also a running program there. It prints "held" once it holds
// everything and lets go when its standard input ends or brings a line.

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#endif

namespace {

bool hold(const char *how, const char *file)
{
#ifdef _WIN32
    wchar_t path[MAX_PATH];
    if (MultiByteToWideChar(CP_UTF8, 0, file, -1, path, MAX_PATH) == 0)
        return false;
    if (std::strcmp(how, "load") == 0)
        return LoadLibraryW(path) != nullptr;
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
        != INVALID_HANDLE_VALUE;
#else
    // Unix has no sharing modes: an open file never stands in a rename's way.
    if (std::strcmp(how, "load") == 0)
        return dlopen(file, RTLD_NOW) != nullptr;
    return open(file, O_RDONLY | O_CLOEXEC) >= 0;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!hold(argv[i], argv[i + 1])) {
            std::fprintf(stderr, "cannot %s %s\n", argv[i], argv[i + 1]);
            return 1;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);
    int character;
    do
        character = std::getchar();
    while (character != '\n' && character != EOF);
    return 0;
}
