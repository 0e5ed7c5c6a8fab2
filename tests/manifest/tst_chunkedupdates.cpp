#include "chunkstore.h"
#include "core/chunkcodec.h"
#include "core/contentchunker.h"
#include "core/launcherconfig.h"
#include "files/filemanager.h"
#include "manifestbuilder.h"
#include "support/fileserverfixture.h"
#include "support/logcapture.h"
#include "support/nginxserver.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Half random bytes, half text that packs well, in alternating stretches: game data as it comes.
QByteArray gameData(qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    int stretch = 0;
    while (bytes.size() < size) {
        const qint64 length = qMin<qint64>(size - bytes.size(), 40000 + random.bounded(60000));
        if (stretch++ % 2 == 0) {
            QByteArray noise(length, Qt::Uninitialized);
            random.fillRange(reinterpret_cast<quint32 *>(noise.data()), int(length / 4));
            bytes += noise;
        } else {
            QByteArray text;
            while (text.size() < length)
                text += "texture_" + QByteArray::number(random.bounded(500)) + " = " +
                        QByteArray::number(random.bounded(100000)) + "\n";
            bytes += text.left(length);
        }
    }
    return bytes;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The digests of the chunks `bytes` cut into.
QSet<QByteArray> chunkDigests(const QByteArray &bytes)
{
    QSet<QByteArray> digests;
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (size_t at = 0; at < size_t(bytes.size());) {
        const size_t length = ContentChunker::cut(data + at, size_t(bytes.size()) - at);
        digests.insert(sha256Hex(bytes.mid(qsizetype(at), qsizetype(length))));
        at += length;
    }
    return digests;
}

} // namespace

// A file brought up to the server's from its old copy and the chunk store, end to end: the
// operators' tool writes the store, nginx serves it, the launcher's download engine rebuilds the
// file; what travels is read from nginx's access log.
class ChunkedUpdatesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void updateShapes_data();
    void updateShapes();
    void hostileStore_data();
    void hostileStore();
    void pausedInTheMiddle_data();
    void pausedInTheMiddle();
    void storeTakesOnlyNewChunks();

private:
    struct Served
    {
        qint64 chunkBytes = 0; // body bytes of the answers to chunk requests
        int chunkRequests = 0;
        int fileRequests = 0; // requests for the whole file
    };
    // Publishes `content` as data/pack.dat below site/files, with the store in site/chunks
    // (unless `withStore` is false), and points the launcher at it.
    bool publish(const QByteArray &content, bool withStore, QString *error);
    Served served() const;
    // The server's chunks of the file that its old copy and its part do not hold, as stored.
    qint64 missingStoredBytes(const QByteArray &old, const QByteArray &part) const;
    QList<FileChunk> publishedChunks() const;
    // Loads the manifest and queues the file, as a verification that found it wrong would.
    bool queue(FileManager &manager);
    QString site() const { return work->filePath("site"); }
    QString gameFile() const { return work->filePath("game/data/pack.dat"); }
    QString storeChunk(const QByteArray &sha256) const
    {
        return site() + "/chunks/" + sha256.left(2) + "/" + sha256;
    }

    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<testsupport::NginxServer> nginx;
};

void ChunkedUpdatesTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void ChunkedUpdatesTest::init()
{
    nginx.reset();
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
}

bool ChunkedUpdatesTest::publish(const QByteArray &content, bool withStore, QString *error)
{
    if (!writeFile(site() + "/files/data/pack.dat", content) ||
        !writeFile(site() + "/files/readme.txt", "Veyrun\n")) {
        *error = "cannot write the served files";
        return false;
    }
    ManifestOptions options;
    options.folder = site() + "/files";
    options.output = site() + "/manifest.json";
    options.version = "2";
    if (withStore) {
        options.chunkFolder = site() + "/chunks";
        options.chunksUrl = "../chunks";
    }
    ManifestBuilder builder(options);
    if (!builder.run()) {
        *error = builder.errorString();
        return false;
    }
    nginx = std::make_unique<testsupport::NginxServer>();
    if (!nginx->start(site())) {
        *error = nginx->errorString();
        return false;
    }
    LauncherConfig &config = LauncherConfig::instance();
    config.manifestUrl = nginx->rootUrl() + "/manifest.json";
    config.filesBaseUrl = nginx->rootUrl() + "/files";
    config.gameDirectory = work->filePath("game");
    config.maxDownloadThreads = 4;
    return true;
}

ChunkedUpdatesTest::Served ChunkedUpdatesTest::served() const
{
    Served seen;
    for (const QString &line : testsupport::readLines(nginx->accessLogPath())) {
        if (line.contains(" /chunks/")) {
            ++seen.chunkRequests;
            seen.chunkBytes += line.split(' ').value(2).toLongLong();
        } else if (line.endsWith(" /files/data/pack.dat")) {
            ++seen.fileRequests;
        }
    }
    return seen;
}

QList<FileChunk> ChunkedUpdatesTest::publishedChunks() const
{
    Manifest manifest;
    manifest.parse(readFile(site() + "/manifest.json"));
    for (const FileEntry &entry : qAsConst(manifest.files)) {
        if (entry.path == "data/pack.dat")
            return entry.chunks;
    }
    return {};
}

qint64 ChunkedUpdatesTest::missingStoredBytes(const QByteArray &old, const QByteArray &part) const
{
    QSet<QByteArray> local = chunkDigests(old);
    const QList<FileChunk> chunks = publishedChunks();
    qint64 offset = 0;
    for (const FileChunk &chunk : chunks) {
        if (offset + chunk.size <= part.size() &&
            sha256Hex(part.mid(offset, chunk.size)) == chunk.sha256)
            local.insert(chunk.sha256);
        offset += chunk.size;
    }
    qint64 missing = 0;
    for (const FileChunk &chunk : chunks) {
        if (!local.contains(chunk.sha256)) {
            local.insert(chunk.sha256);
            missing += chunk.stored;
        }
    }
    return missing;
}

bool ChunkedUpdatesTest::queue(FileManager &manager)
{
    if (!testsupport::loadManifest(manager))
        return false;
    QList<FileEntry> wanted;
    for (const FileEntry &entry : manager.currentManifest().files) {
        if (entry.path == "data/pack.dat")
            wanted.append(entry);
    }
    manager.setDownloadQueue(wanted);
    return wanted.size() == 1;
}

void ChunkedUpdatesTest::updateShapes_data()
{
    QTest::addColumn<QByteArray>("old");  // the local copy; empty: none
    QTest::addColumn<QByteArray>("part"); // what an earlier run left in the part file
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<bool>("withStore");
    // The most the changed bytes may cost: what changed and the chunks around it.
    QTest::addColumn<qint64>("bound");

    const qint64 chunk = qint64(ContentChunker::maxSize);
    const QByteArray old = gameData(3 << 20, 1);
    const QByteArray fresh = gameData(200 << 10, 2);
    QByteArray rewritten = old;
    rewritten.replace(1 << 20, fresh.size(), fresh);
    QTest::newRow("region rewritten")
        << old << QByteArray() << rewritten << true << fresh.size() + 2 * chunk;
    QByteArray inserted = old;
    inserted.insert(3 << 19, fresh.left(100 << 10));
    QTest::newRow("insertion") << old << QByteArray() << inserted << true
                               << (100 << 10) + 2 * chunk;
    QByteArray cut = old;
    cut.remove(2 << 20, 64 << 10);
    QTest::newRow("cut") << old << QByteArray() << cut << true << 2 * chunk;
    const QByteArray moved = old.left(512 << 10) + old.mid(1 << 20) + old.mid(512 << 10, 512 << 10);
    QTest::newRow("region moved") << old << QByteArray() << moved << true << 4 * chunk;
    QTest::newRow("grown") << old << QByteArray() << old + fresh << true << fresh.size() + chunk;
    QTest::newRow("shrunk") << old << QByteArray() << old.left(2 << 20) << true << chunk;
    const QByteArray other = gameData(3 << 20, 3);
    QTest::newRow("all new") << old << QByteArray() << other << true << qint64(other.size());
    QTest::newRow("deleted locally")
        << QByteArray() << QByteArray() << rewritten << true << qint64(rewritten.size());
    QTest::newRow("part of an earlier run")
        << QByteArray() << other.left(2 << 20) << other << true << (1 << 20) + chunk;
    // An older manifest: the whole file, as ever.
    QTest::newRow("no chunk store")
        << old << QByteArray() << rewritten << false << qint64(rewritten.size());
}

void ChunkedUpdatesTest::updateShapes()
{
    QFETCH(QByteArray, old);
    QFETCH(QByteArray, part);
    QFETCH(QByteArray, current);
    QFETCH(bool, withStore);
    QFETCH(qint64, bound);
    QString error;
    QVERIFY2(publish(current, withStore, &error), qPrintable(error));
    if (!old.isEmpty())
        QVERIFY(writeFile(gameFile(), old));
    if (!part.isEmpty())
        QVERIFY(writeFile(gameFile() + ".tmp", part));
    const qint64 expected = withStore ? missingStoredBytes(old, part) : current.size();

    testsupport::LogCapture log;
    FileManager manager;
    QVERIFY(queue(manager));
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy errors(&manager, &FileManager::errorOccurred);
    QSignalSpy progress(&manager, &FileManager::downloadProgress);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 60000);
    QCOMPARE(errors.size(), 0);
    QVERIFY(readFile(gameFile()) == current);
    QVERIFY(!QFile::exists(gameFile() + ".tmp"));
    QCOMPARE(progress.last().at(0).toInt(), 100);

    const Served seen = served();
    QCOMPARE(seen.fileRequests, withStore ? 0 : 1);
    QCOMPARE(seen.chunkRequests > 0, withStore && expected > 0);
    const qint64 travelled = withStore ? seen.chunkBytes : current.size();
    QCOMPARE(travelled, expected);
    QVERIFY2(travelled <= bound,
             qPrintable(QString("%1 bytes for at most %2").arg(travelled).arg(bound)));
    QVERIFY(!log.contains("[WARN]"));
}

void ChunkedUpdatesTest::hostileStore_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("retried"); // the attempt failed and the retry fetched the whole file
    QTest::newRow("wrong bytes for a digest") << "wrong" << true;
    QTest::newRow("larger than declared") << "larger" << true;
    QTest::newRow("zstd bomb") << "bomb" << true;
    QTest::newRow("404 for one chunk") << "missing" << false;
    QTest::newRow("no store on the server") << "nostore" << false;
}

// Whatever the store does wrong, nothing wrong lands: the file comes whole instead.
void ChunkedUpdatesTest::hostileStore()
{
    QFETCH(QString, fault);
    QFETCH(bool, retried);
    const QByteArray old = gameData(2 << 20, 4);
    QByteArray current = old;
    // Text, so its chunks are stored as zstd.
    current.replace(600 << 10, 300 << 10, QByteArray(300 << 10, 'x'));
    QString error;
    QVERIFY2(publish(current, true, &error), qPrintable(error));
    QVERIFY(writeFile(gameFile(), old));

    // A chunk the launcher will have to fetch, stored as zstd.
    const QSet<QByteArray> local = chunkDigests(old);
    FileChunk target;
    for (const FileChunk &chunk : publishedChunks()) {
        if (!local.contains(chunk.sha256) && chunk.stored < chunk.size)
            target = chunk;
    }
    QVERIFY(!target.sha256.isEmpty());
    const QString path = storeChunk(target.sha256);
    if (fault == "wrong") {
        QVERIFY(writeFile(path, gameData(target.stored, 9)));
    } else if (fault == "larger") {
        QVERIFY(writeFile(path, readFile(path) + QByteArray(4096, 'y')));
    } else if (fault == "bomb") {
        // 64 MiB of zeros in a frame a few KiB long, declared (in a manifest an attacker
        // could write) with the frame's own size.
        const QByteArray zeros(64 << 20, '\0');
        const QByteArray bomb = chunkcodec::compress(zeros.constData(), size_t(zeros.size()));
        QVERIFY(!bomb.isEmpty() && bomb.size() < target.size);
        QVERIFY(writeFile(path, bomb));
        QByteArray manifest = readFile(site() + "/manifest.json");
        const QByteArray listed =
            "\"" + target.sha256 + "\", " + QByteArray::number(target.size) + ", ";
        QVERIFY(manifest.contains(listed + QByteArray::number(target.stored) + "]"));
        manifest.replace(listed + QByteArray::number(target.stored) + "]",
                         listed + QByteArray::number(bomb.size()) + "]");
        QVERIFY(writeFile(site() + "/manifest.json", manifest));
    } else if (fault == "missing") {
        QVERIFY(QFile::remove(path));
    } else {
        QVERIFY(QDir(site() + "/chunks").removeRecursively());
    }

    testsupport::LogCapture log;
    FileManager manager;
    manager.setRetryDelay(100);
    QVERIFY(queue(manager));
    QSignalSpy ready(&manager, &FileManager::allFilesReady);
    QSignalSpy retries(&manager, &FileManager::retryScheduled);
    manager.startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 60000);
    QVERIFY(readFile(gameFile()) == current);
    QCOMPARE(retries.size(), retried ? 1 : 0);
    QCOMPARE(served().fileRequests, 1);
    QCOMPARE(log.contains("refused"), retried);
    QCOMPARE(log.contains("fetching the whole file"), !retried);
}

void ChunkedUpdatesTest::pausedInTheMiddle_data()
{
    QTest::addColumn<QString>("after");
    QTest::newRow("resume") << "resume";
    QTest::newRow("quit, start again") << "quit";
}

// Chunks in place stay through a pause (and a quit): the rest of the file costs only the rest.
void ChunkedUpdatesTest::pausedInTheMiddle()
{
    QFETCH(QString, after);
    const QByteArray current = gameData(6 << 20, 6);
    QString error;
    QVERIFY2(publish(current, true, &error), qPrintable(error));
    const qint64 stored = missingStoredBytes({}, {});

    auto manager = std::make_unique<FileManager>();
    QVERIFY(queue(*manager));
    manager->setSpeedLimit(3 << 20);
    QSignalSpy progress(manager.get(), &FileManager::downloadProgress);
    manager->startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toInt() >= 30, 20000);
    manager->pauseDownloads();
    QVERIFY(manager->downloadsPaused());
    QVERIFY(QFile::exists(gameFile() + ".tmp"));
    const int requestsAtPause = served().chunkRequests;
    testsupport::quietPeriod(300); // paused: nothing more is asked for
    QCOMPARE(served().chunkRequests, requestsAtPause);

    if (after == "quit") {
        manager = std::make_unique<FileManager>();
        QVERIFY(queue(*manager));
    }
    QSignalSpy ready(manager.get(), &FileManager::allFilesReady);
    if (after == "quit")
        manager->startDownload();
    else
        manager->resumeDownloads();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 60000);
    QVERIFY(readFile(gameFile()) == current);
    // Only the requests cut off by the pause are asked for again: each at most one chunk.
    const qint64 again = served().chunkBytes - stored;
    QVERIFY2(again >= 0 && again <= 16 * qint64(ContentChunker::maxSize),
             qPrintable(QString("%1 bytes asked for twice").arg(again)));
    QCOMPARE(served().fileRequests, 0);
}

// A second release writes only its new chunks and leaves every other chunk file as it was; the
// prune removes what no file of the release uses any more.
void ChunkedUpdatesTest::storeTakesOnlyNewChunks()
{
    const QString release1 = work->filePath("r1"), release2 = work->filePath("r2");
    const QString store = work->filePath("store");
    const QByteArray pack = gameData(2 << 20, 7);
    QVERIFY(writeFile(release1 + "/pack.dat", pack));
    QVERIFY(writeFile(release1 + "/old.dat", gameData(300 << 10, 8)));
    QVERIFY(writeFile(release1 + "/empty.dat", {}));
    QByteArray changed = pack;
    changed.replace(1 << 20, 10, "0123456789");
    QVERIFY(writeFile(release2 + "/pack.dat", changed));
    QVERIFY(writeFile(release2 + "/empty.dat", {}));

    const auto build = [&](const QString &folder, bool prune, ManifestBuilder **out) {
        ManifestOptions options;
        options.folder = folder;
        options.output = folder + ".json";
        options.version = "1";
        options.chunkFolder = store;
        options.chunksUrl = "http://cdn.example/chunks";
        options.prune = prune;
        *out = new ManifestBuilder(options, this);
        return (*out)->run();
    };
    const auto chunkFiles = [&] {
        QMap<QString, QDateTime> files;
        QDirIterator it(store, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.contains("/index/"))
                files.insert(it.fileName(), it.fileInfo().lastModified());
        }
        return files;
    };
    ManifestBuilder *first = nullptr, *second = nullptr, *pruning = nullptr;
    QVERIFY(build(release1, false, &first));
    const QMap<QString, QDateTime> before = chunkFiles();
    QCOMPARE(first->newChunkCount(), before.size());
    QVERIFY(before.size() >= 4);

    QVERIFY(build(release2, false, &second));
    const QMap<QString, QDateTime> after = chunkFiles();
    // Ten bytes changed: one chunk, or two where the change moved a boundary.
    QVERIFY2(second->newChunkCount() >= 1 && second->newChunkCount() <= 2,
             qPrintable(QString::number(second->newChunkCount())));
    QCOMPARE(after.size(), before.size() + second->newChunkCount());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.value(it.key()), it.value());

    // The launcher reads what the tool wrote; the chunks add up to the files.
    Manifest manifest;
    QVERIFY(manifest.parse(readFile(release2 + ".json")));
    QCOMPARE(manifest.files.size(), 2);
    QSet<QString> used;
    for (const FileEntry &entry : qAsConst(manifest.files)) {
        QCOMPARE(entry.chunks.isEmpty(), entry.size == 0);
        for (const FileChunk &chunk : entry.chunks) {
            used.insert(QString::fromLatin1(chunk.sha256));
            QCOMPARE(QFileInfo(store + "/" + chunk.sha256.left(2) + "/" + chunk.sha256).size(),
                     chunk.stored);
        }
        if (!entry.chunks.isEmpty())
            QCOMPARE(entry.chunkStore, QString("http://cdn.example/chunks"));
    }

    QVERIFY(build(release2, true, &pruning));
    QCOMPARE(pruning->newChunkCount(), 0);
    QCOMPARE(pruning->prunedChunkCount(), after.size() - used.size());
    const QMap<QString, QDateTime> left = chunkFiles();
    QCOMPARE(QSet<QString>(left.keyBegin(), left.keyEnd()), used);
}

QTEST_GUILESS_MAIN(ChunkedUpdatesTest)
#include "tst_chunkedupdates.moc"
