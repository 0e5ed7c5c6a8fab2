#include "progressprinter.h"

#include <QString>

#include <unistd.h>

namespace {

constexpr int barWidth = 30;

const char *stageName(ManifestBuilder::Stage stage)
{
    return stage == ManifestBuilder::Hashing    ? "hashing"
           : stage == ManifestBuilder::Chunking ? "chunking"
                                                : "archiving";
}

// Hashing counts files, archiving bytes.
QString amount(ManifestBuilder::Stage stage, qint64 value)
{
    return stage != ManifestBuilder::Archiving ? QString::number(value)
                                               : QString::number(double(value) / (1 << 20), 'f', 1);
}

const char *unit(ManifestBuilder::Stage stage)
{
    return stage != ManifestBuilder::Archiving ? "files" : "MiB";
}

} // namespace

ProgressPrinter::ProgressPrinter(FILE *stream) : stream(stream), terminal(isatty(fileno(stream))) {}

void ProgressPrinter::show(ManifestBuilder::Stage stage, qint64 done, qint64 total)
{
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    const bool newStage = int(stage) != lastStage;
    if (terminal) {
        if (!newStage && percent < 100 && sinceDrawn.isValid() && sinceDrawn.elapsed() < 100)
            return;
        sinceDrawn.start();
        const int filled = percent * barWidth / 100;
        const QString line =
            QStringLiteral("\r%1 [%2%3] %4% %5 / %6 %7")
                .arg(QLatin1String(stageName(stage)), -9)
                .arg(QString(filled, QLatin1Char('#')),
                     QString(barWidth - filled, QLatin1Char('.')))
                .arg(percent, 3)
                .arg(amount(stage, done), amount(stage, total), QLatin1String(unit(stage)));
        if (newStage && lineOpen)
            std::fputc('\n', stream);
        std::fputs(line.toLocal8Bit().constData(), stream);
        lineOpen = true;
    } else {
        const int tenth = percent / 10;
        if (!newStage && tenth == lastTenth)
            return;
        lastTenth = tenth;
        std::fprintf(stream, "%s: %d%% (%s of %s %s)\n", stageName(stage), percent,
                     amount(stage, done).toLocal8Bit().constData(),
                     amount(stage, total).toLocal8Bit().constData(), unit(stage));
    }
    lastStage = int(stage);
    std::fflush(stream);
}

void ProgressPrinter::finish()
{
    if (lineOpen)
        std::fputc('\n', stream);
    lineOpen = false;
    std::fflush(stream);
}
