#pragma once

#include "manifestbuilder.h"

#include <QElapsedTimer>

#include <cstdio>

// Shows the builder's progress on `stream`: on a terminal one line redrawn in place (a bar, the
// percentage and the bytes), at most ten times a second; otherwise a plain line every 10 %.
class ProgressPrinter
{
public:
    explicit ProgressPrinter(FILE *stream);

    void show(ManifestBuilder::Stage stage, qint64 done, qint64 total);
    // Ends the redrawn line, if one is showing.
    void finish();

private:
    FILE *stream;
    bool terminal;
    bool lineOpen = false;
    int lastStage = -1;
    int lastTenth = -1;
    QElapsedTimer sinceDrawn;
};
