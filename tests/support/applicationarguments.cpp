#include "applicationarguments.h"

#include <QFile>

#include <vector>

namespace {
constexpr int capacity = 64;

struct Storage
{
    int argc = 0;
    char *argv[capacity] = {};
    std::vector<QByteArray> texts;
};

Storage &storage()
{
    static Storage instance;
    return instance;
}
} // namespace

void ApplicationArguments::init(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc && i < capacity - 2; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
#ifdef Q_OS_WIN
    // Built from a vector equal to the process's own, Qt on Windows takes its arguments from
    // the command line for good and never reads the vector again; one more element makes it
    // differ, and set() replaces it.
    arguments << QString();
#endif
    set(arguments);
}

int &ApplicationArguments::argc()
{
    return storage().argc;
}

char **ApplicationArguments::argv()
{
    return storage().argv;
}

void ApplicationArguments::set(const QStringList &arguments)
{
    Storage &s = storage();
    s.texts.clear();
    for (const QString &argument : arguments.mid(0, capacity - 1))
        s.texts.push_back(argument.toLocal8Bit());
    s.argc = int(s.texts.size());
    for (int i = 0; i < capacity; ++i)
        s.argv[i] = i < s.argc ? s.texts[size_t(i)].data() : nullptr;
}
