#pragma once

#include "devserver.h"

#include <QString>

// A file answered as a static file server does, so that a cut download can resume: a strong
// ETag and Last-Modified on every answer, one byte range per request ("bytes=a-b", "bytes=a-",
// "bytes=-n") as 206 with Content-Range, 416 for a range that starts past the end, and the whole
// file as 200 when If-Range names a validator other than the file's current one.
DevServer::Reply rangedFileReply(const DevServer::Request &request, const QString &path);
