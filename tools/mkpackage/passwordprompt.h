#pragma once

#include <QByteArray>
#include <QString>

/// Asks for a password on the terminal without showing it.
class PasswordPrompt
{
public:
    /// Shows prompt and reads one line from the terminal with echo off. Fails when the
    /// program has no terminal (a script should set ORVI_SIGNING_PASSWORD instead).
    static bool read(const QString &prompt, QByteArray *password, QString *errorText);
};
