#include "testprocess.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int TestProcess::finish(int code)
{
#ifdef Q_OS_WIN
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), UINT(code));
#endif
    return code;
}
