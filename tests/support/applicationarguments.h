#pragma once

#include <QApplication>
#include <QStringList>
#include <QTest>

#include "testprocess.h"

/*
 * Lets a test choose what QCoreApplication::arguments() returns. The application object
 * reads its arguments from the vector it was built with, so a test builds it from argc()
 * and argv() here and rewrites that vector with set(). ORVI_TEST_MAIN_WITH_ARGUMENTS(Class)
 * is a QTEST_MAIN that does so.
 */
class ApplicationArguments
{
public:
    /// Copies the process's own arguments into the vector; call before building the application.
    static void init(int argc, char **argv);
    /// The count and vector to build the application object from.
    static int &argc();
    static char **argv();
    /// Makes QCoreApplication::arguments() return arguments from now on; the first element is
    /// the program path, as usual. At most 63 elements.
    static void set(const QStringList &arguments);
};

#define ORVI_TEST_MAIN_WITH_ARGUMENTS(TestObject)                                                  \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        ApplicationArguments::init(argc, argv);                                                    \
        int code = 0;                                                                              \
        {                                                                                          \
            QApplication app(ApplicationArguments::argc(), ApplicationArguments::argv());          \
            TestObject test;                                                                       \
            code = QTest::qExec(&test, argc, argv);                                                \
        }                                                                                          \
        return TestProcess::finish(code);                                                          \
    }
