#pragma once

#include <QtTest/qtest.h>

/*
 * How a test process ends. On Windows it ends as soon as its tests have run and their
 * results are written: under Wine the C runtime's exit handlers of a test process now and then
 * wait for ever after the last test, which CTest would report as a hung test. This header is
 * included first into every Windows test, so that Qt's test mains end this way too.
 */
class TestProcess
{
public:
    /// Returns code, the tests' result; on Windows ends the process with it instead.
    static int finish(int code);
};

#ifdef Q_OS_WIN
#undef QTEST_MAIN_WRAPPER
#define QTEST_MAIN_WRAPPER(TestObject, ...)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QT_PREPEND_NAMESPACE(QTest::Internal::callInitMain)<TestObject>();                         \
        int code = 0;                                                                              \
        {                                                                                          \
            __VA_ARGS__                                                                            \
            TestObject tc;                                                                         \
            QTEST_SET_MAIN_SOURCE_PATH                                                             \
            code = QTest::qExec(&tc, argc, argv);                                                  \
        }                                                                                          \
        return TestProcess::finish(code);                                                          \
    }
#endif
