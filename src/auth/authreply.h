#pragma once

#include <QByteArray>
#include <QString>

// What the launcher reads from the auth service's session answers, apart from the network
// round trip so that any body a server may send can be tried against it.
struct RegisterReply
{
    bool isObject = false; // false: the body was no JSON object, so none of the fields came from it
    bool success = false;
    QString message;
    QString sessionId;
};

RegisterReply parseRegisterReply(const QByteArray &body);

// The server's "message" in a failed heartbeat's body; empty when the body holds none.
QString heartbeatFailureMessage(const QByteArray &body);
