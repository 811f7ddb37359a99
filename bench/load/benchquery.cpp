#include "benchquery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

size_t occurrences(const std::string &text, const char *needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

} // namespace

namespace BenchQuery {

QString componentName(int i)
{
    return QStringLiteral("component-%1").arg(i, 3, 10, QLatin1Char('0'));
}

std::string request()
{
    std::string text = "<s>";
    for (int i = 0; i < InventorySize; ++i) {
        const bool unknown = i >= InventorySize - UnknownCount;
        const std::string name
            = unknown ? "retired-" + std::to_string(i) : componentName(i).toStdString();
        const std::string version = i < OfferedCount ? "1.9" : "2.0." + std::to_string(i);
        text += "<component project=\"orvi\" name=\"" + name + "\" type=\""
            + (i == 0 ? "app" : "plugin") + "\" version=\"" + version + "\"/>";
    }
    return text + "</s>";
}

bool isExpectedReply(const std::string &reply)
{
    return reply.size() > 20 && reply.compare(reply.size() - 11, 11, "</updates>\n") == 0
        && occurrences(reply, "<request ") == size_t(InventorySize)
        && occurrences(reply, "<signature>") == size_t(OfferedCount)
        && occurrences(reply, "<noSuchComponent/>") == size_t(UnknownCount);
}

long statusKib(int pid, const char *field)
{
    FILE *status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status)
        return -1;
    char line[256];
    long value = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':')
            value = std::atol(line + length + 1);
    }
    std::fclose(status);
    return value;
}

} // namespace BenchQuery
