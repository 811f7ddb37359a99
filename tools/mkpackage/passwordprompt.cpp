#include "passwordprompt.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>

#ifdef Q_OS_WIN
#include <iostream>
#include <windows.h>
#else
#include <termios.h>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

} // namespace

bool PasswordPrompt::read(const QString &prompt, QByteArray *password, QString *errorText)
{
    const QByteArray promptBytes = prompt.toLocal8Bit();
    std::string line;
#ifdef Q_OS_WIN
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) {
        *errorText = tr("No terminal to ask for the password; set ORVI_SIGNING_PASSWORD");
        return false;
    }
    std::fputs(promptBytes.constData(), stderr);
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::getline(std::cin, line);
    SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
#else
    // The terminal itself, so that a password never comes from a pipe by mistake.
    FILE *terminal = std::fopen("/dev/tty", "r+");
    termios saved {};
    if (!terminal || tcgetattr(fileno(terminal), &saved) != 0) {
        if (terminal)
            std::fclose(terminal);
        *errorText = tr("No terminal to ask for the password; set ORVI_SIGNING_PASSWORD");
        return false;
    }
    std::fputs(promptBytes.constData(), terminal);
    std::fflush(terminal);
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(terminal), TCSAFLUSH, &silent);
    int c = 0;
    while ((c = std::fgetc(terminal)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    tcsetattr(fileno(terminal), TCSAFLUSH, &saved);
    std::fputs("\n", terminal);
    std::fclose(terminal);
#endif
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    *password = QByteArray::fromStdString(line);
    std::fill(line.begin(), line.end(), '\0');
    return true;
}
