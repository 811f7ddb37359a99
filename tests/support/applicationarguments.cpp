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
    for (int i = 0; i < argc && i < capacity - 1; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
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
