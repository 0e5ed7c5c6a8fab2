#include "core/failuretext.h"

#include <QCoreApplication>

FailureText::FailureText(const char *context, const char *source)
    : english(QString::fromUtf8(source)), local(QCoreApplication::translate(context, source))
{}

FailureText FailureText::verbatim(const QString &text)
{
    FailureText result;
    result.english = text;
    result.local = text;
    return result;
}

FailureText FailureText::arg(const QString &argument) const
{
    return arg(verbatim(argument));
}

FailureText FailureText::arg(const FailureText &argument) const
{
    FailureText result;
    result.english = english.arg(argument.english);
    result.local = local.arg(argument.local);
    return result;
}

FailureText FailureText::arg(const QString &first, const QString &second) const
{
    FailureText result;
    result.english = english.arg(first, second);
    result.local = local.arg(first, second);
    return result;
}
