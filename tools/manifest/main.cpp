#include "manifestbuilder.h"
#include "progressprinter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // File times are compared as instants and no local time is ever shown, but without TZ every
    // file-time read checks /etc/localtime again: as costly as the file's own stat.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", "UTC");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wardgate-manifest"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes the manifest.json of a game folder for the Wardgate launcher: every file with its "
        "path, size and SHA-256, and optionally the base-client zip of the whole folder.\n"
        "Refuses names that the launcher would refuse. Every output file is replaced whole or "
        "not at all."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("The game folder."));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("The manifest to write (default: manifest.json in the current folder)."),
        QStringLiteral("file"), QStringLiteral("manifest.json"));
    const QCommandLineOption version(
        QStringLiteral("game-version"),
        QStringLiteral("The version text of the manifest, shown to players (required)."),
        QStringLiteral("text"));
    const QCommandLineOption urlBase(
        QStringLiteral("url-base"),
        QStringLiteral("Give every file its own \"url\": this URL, \"/\" and the file's path. "
                       "Without it the launcher needs files_base_url in its remote "
                       "configuration."),
        QStringLiteral("url"));
    const QCommandLineOption baseClient(
        QStringLiteral("base-client"),
        QStringLiteral("Also write the whole folder as this zip (executable bits kept) and "
                       "name it in \"base_client\" with its size and SHA-256."),
        QStringLiteral("zip"));
    const QCommandLineOption baseClientUrl(
        QStringLiteral("base-client-url"),
        QStringLiteral("The URL the base-client zip is served from (required with "
                       "--base-client)."),
        QStringLiteral("url"));
    const QCommandLineOption store(
        QStringLiteral("store"),
        QStringLiteral("Store the base client's files uncompressed (faster; for game data that "
                       "is compressed already)."));
    const QCommandLineOption cache(
        QStringLiteral("cache"),
        QStringLiteral("Remember digests in this file, by path within the folder, size, "
                       "modification time and inode, so unchanged files are not read again, "
                       "also when the next release folder holds hard links to them (default: "
                       "~/.local/share/wardgate-manifest/digests.cache, one for every folder)."),
        QStringLiteral("file"));
    const QCommandLineOption noCache(QStringLiteral("no-cache"),
                                     QStringLiteral("Hash every file; keep no cache."));
    const QCommandLineOption jobs(
        {QStringLiteral("j"), QStringLiteral("jobs")},
        QStringLiteral("Files hashed at once (default: one per processor core)."),
        QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption signKey(
        QStringLiteral("sign-key"),
        QStringLiteral("Sign the manifest with this ECDSA P-256 private key (PEM): writes "
                       "\"published\" (now) into it and its signature as <manifest>.sig. Keep "
                       "the key off the file server."),
        QStringLiteral("key.pem"));
    const QCommandLineOption chunks(
        QStringLiteral("chunks"),
        QStringLiteral("Also cut every file into content-defined chunks in this chunk store "
                       "folder (each chunk written once, zstd where that makes it smaller) and "
                       "list them in the manifest, so launchers fetch only what changed. The "
                       "whole files stay as they are."),
        QStringLiteral("folder"));
    const QCommandLineOption chunksUrl(
        QStringLiteral("chunks-url"),
        QStringLiteral("Where launchers find the chunk store (required with --chunks): a URL, "
                       "or a path relative to files_base_url such as ../chunks."),
        QStringLiteral("url"));
    const QCommandLineOption prune(
        QStringLiteral("prune"),
        QStringLiteral("With --chunks: remove from the store every chunk this manifest does not "
                       "list. Only once no launcher can still be sent an older manifest."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("No progress, only errors."));
    parser.addOptions({output, version, urlBase, baseClient, baseClientUrl, store, cache, noCache,
                       jobs, signKey, chunks, chunksUrl, prune, quiet});
    parser.process(app);

    QTextStream err(stderr);
    const auto usageError = [&](const QString &text) {
        err << "wardgate-manifest: " << text << "\n"
            << "Try 'wardgate-manifest --help'.\n";
        return 2;
    };
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one game folder"));
    if (!parser.isSet(version) || parser.value(version).isEmpty())
        return usageError(QStringLiteral("--game-version is required"));
    if (parser.isSet(baseClient) != parser.isSet(baseClientUrl))
        return usageError(QStringLiteral("--base-client and --base-client-url go together"));
    if (parser.isSet(chunks) != parser.isSet(chunksUrl))
        return usageError(QStringLiteral("--chunks and --chunks-url go together"));
    if (parser.isSet(prune) && !parser.isSet(chunks))
        return usageError(QStringLiteral("--prune needs --chunks"));
    bool jobsOk = false;
    const int threads = parser.value(jobs).toInt(&jobsOk);
    if (!jobsOk || threads < 0)
        return usageError(QStringLiteral("--jobs takes a whole number"));

    ManifestOptions options;
    options.folder = parser.positionalArguments().constFirst();
    options.output = parser.value(output);
    options.version = parser.value(version);
    options.urlBase = parser.value(urlBase);
    while (options.urlBase.endsWith(QLatin1Char('/')))
        options.urlBase.chop(1);
    options.baseClientOutput = parser.value(baseClient);
    options.baseClientUrl = parser.value(baseClientUrl);
    options.compressBaseClient = !parser.isSet(store);
    if (!parser.isSet(noCache))
        options.cacheFile =
            parser.isSet(cache) ? parser.value(cache) : ManifestBuilder::defaultCacheFile();
    options.threads = threads;
    options.signingKey = parser.value(signKey);
    options.published = QDateTime::currentSecsSinceEpoch();
    options.chunkFolder = parser.value(chunks);
    options.chunksUrl = parser.value(chunksUrl);
    options.prune = parser.isSet(prune);

    ManifestBuilder builder(options);
    ProgressPrinter printer(stderr);
    if (!parser.isSet(quiet))
        QObject::connect(&builder, &ManifestBuilder::progress, &builder,
                         [&printer](ManifestBuilder::Stage stage, qint64 done, qint64 total) {
                             printer.show(stage, done, total);
                         });
    const bool ok = builder.run();
    printer.finish();
    if (!ok) {
        err << "wardgate-manifest: " << builder.errorString() << "\n";
        return 1;
    }
    if (!parser.isSet(quiet))
        err << "Wrote " << options.output << ": " << builder.fileCount() << " files, "
            << QString::number(double(builder.byteCount()) / (1 << 20), 'f', 1) << " MiB ("
            << builder.cachedCount() << " digests from the cache)\n";
    if (!parser.isSet(quiet) && !options.chunkFolder.isEmpty())
        err << "Chunk store " << options.chunkFolder << ": " << builder.newChunkCount()
            << " new chunks, "
            << QString::number(double(builder.newChunkBytes()) / (1 << 20), 'f', 1) << " MiB"
            << (options.prune ? QStringLiteral(", %1 pruned").arg(builder.prunedChunkCount())
                              : QString())
            << "\n";
    if (!parser.isSet(quiet) && !options.signingKey.isEmpty())
        err << "Signed it: " << options.output << ".sig\n";
    return 0;
}
