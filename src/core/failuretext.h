#pragma once

#include <QString>

// A failure's text for both of its readers: the log keeps it in English, as operators and the log
// upload read it, and the window shows it in the player's language. The English text is the
// source of the translation, so without a translation both are the same.
class FailureText
{
public:
    FailureText() = default;
    // `source` is translated in `context`; lupdate reads these calls as it reads translate().
    FailureText(const char *context, const char *source);
    // A text that exists in one language only: Qt's, the server's, a file name.
    static FailureText verbatim(const QString &text);

    // Replaces the lowest %n in both texts, as QString::arg does.
    FailureText arg(const QString &argument) const;
    FailureText arg(const FailureText &argument) const;
    FailureText arg(qint64 number) const { return arg(QString::number(number)); }
    // Both at once, as QString::arg(a, b) does: a first argument holding "%2" stays as it is.
    FailureText arg(const QString &first, const QString &second) const;

    const QString &logged() const { return english; }
    const QString &shown() const { return local; }
    bool isEmpty() const { return english.isEmpty(); }

private:
    QString english;
    QString local;
};
