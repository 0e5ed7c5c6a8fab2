#include "auth/authreply.h"

#include <QJsonDocument>
#include <QJsonObject>

RegisterReply parseRegisterReply(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    RegisterReply reply;
    if (!document.isObject())
        return reply;
    const QJsonObject object = document.object();
    reply.isObject = true;
    reply.success = object.value(QLatin1String("success")).toBool(false);
    reply.message = object.value(QLatin1String("message")).toString();
    reply.sessionId = object.value(QLatin1String("session_id")).toString();
    return reply;
}

QString heartbeatFailureMessage(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object().value(QLatin1String("message")).toString();
}
