#pragma once

class QNetworkReply;

// Whether an ended reply failed for its host rather than for its file: no answer at all (refused,
// unknown host, closed before a word), a 5xx answer, or a server that stalled past the time-out
// or stayed too slow (`tooSlow`, LowSpeedGuard). Another server with the same files may well do
// better; a 404, a cut body or a wrong file are the file's own. A reply the caller ended itself
// is not asked about.
bool isHostFailure(const QNetworkReply *reply, bool tooSlow);
