#include <QtTest>

#include <QStandardPaths>

#include <functional>
#include <optional>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

#include "minisignsecretkey.h"
#include "packagesignature.h"
#include "packagesigner.h"
#include "testsupport.h"

namespace {

const QString Password = QStringLiteral("fern password");

// A minisign key file with the bytes of its key line changed by `change`.
QByteArray withKeyLine(const QByteArray &keyFile, const std::function<void(QByteArray &)> &change)
{
    QList<QByteArray> lines = keyFile.split('\n');
    QByteArray bytes = QByteArray::fromBase64(lines.at(1));
    change(bytes);
    lines[1] = bytes.toBase64();
    return lines.join('\n');
}

// Where in a key line the parts that the rows change lie.
constexpr int OpsLimitAt = 38;
constexpr int MemLimitAt = 46;
constexpr int PublicHalfAt = 54 + 8 + 32;
constexpr int ChecksumAt = 54 + 8 + 64;

} // namespace

// quillFern-pack sign: keys made by the minisign command, signatures checked
// by it and by the updater's own PackageSignature. Every file lives in a
// temporary folder.
class TestPackSign : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void scryptParameters_data();
    void scryptParameters();
    void readsKey_data();
    void readsKey();

    void signsAndVerifies_data();
    void signsAndVerifies();
    void refusesAndWritesNothing_data();
    void refusesAndWritesNothing();
    void changedAfterSigningFails_data();
    void changedAfterSigningFails();
    void passwordPrompt_data();
    void passwordPrompt();

private:
    enum class Key { Plain, Encrypted };
    QString keyPath(Key key) const
    {
        return keys.filePath(key == Key::Plain ? "plain.key" : "encrypted.key");
    }
    QString publicKeyPath(Key key) const
    {
        return keys.filePath(key == Key::Plain ? "plain.pub" : "encrypted.pub");
    }
    // A package with a payload of two files and its SHA256SUMS.
    QString makePackage(const QString &name) const;
    // Starts quillFern-pack sign with `arguments`, standard input from `input`, and only the
    // environment variables of `environment` among those it reads.
    bool startSign(QProcess &pack, const QStringList &arguments, const QMap<QString, QString> &environment,
                   const QString &input) const;
    // The same with no terminal, run to its end: the exit status, -1 on a crash.
    int runSign(const QStringList &arguments, const QMap<QString, QString> &environment) const;
    SignatureCheck checkSignature(const QString &package, Key key) const;
    bool minisignVerifies(const QString &package, Key key) const;

    bool haveMinisign = false;
    QTemporaryDir keys;
    std::unique_ptr<QTemporaryDir> work;
};

Q_DECLARE_METATYPE(MinisignSecretKey::Problem)

void TestPackSign::initTestCase()
{
    QVERIFY(keys.isValid());
    haveMinisign = !QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty();
    if (!haveMinisign)
        return;
    QVERIFY(makeMinisignKeys(keys.filePath("plain")));
    // minisign takes the password twice from standard input when it is no terminal.
    QProcess minisign;
    minisign.start(QStringLiteral("minisign"),
                   {QStringLiteral("-G"), QStringLiteral("-p"), publicKeyPath(Key::Encrypted),
                    QStringLiteral("-s"), keyPath(Key::Encrypted)});
    QVERIFY(minisign.waitForStarted());
    minisign.write((Password + QLatin1Char('\n') + Password + QLatin1Char('\n')).toUtf8());
    minisign.closeWriteChannel();
    QVERIFY(minisign.waitForFinished(120000));
    QCOMPARE(minisign.exitCode(), 0);
    QVERIFY(readFile(keyPath(Key::Encrypted)).contains("encrypted"));
}

void TestPackSign::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
}

QString TestPackSign::makePackage(const QString &name) const
{
    const QString package = work->filePath(name);
    if (!QDir().mkpath(package + QStringLiteral("/Env/sub")) ||
        !writeFile(package + QStringLiteral("/Env/app.bin"), QByteArray(3000, 'a')) ||
        !writeFile(package + QStringLiteral("/Env/sub/readme.txt"), "fern\n") ||
        !writeManifest(package, {QStringLiteral("app.bin"), QStringLiteral("sub/readme.txt")}))
        return QString();
    return package;
}

bool TestPackSign::startSign(QProcess &pack, const QStringList &arguments,
                             const QMap<QString, QString> &environment, const QString &input) const
{
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.remove(QStringLiteral("QUILLFERN_PACK_PASSWORD"));
    processEnvironment.remove(QStringLiteral("SOURCE_DATE_EPOCH"));
    for (auto variable = environment.cbegin(); variable != environment.cend(); ++variable)
        processEnvironment.insert(variable.key(), variable.value());
    pack.setProcessEnvironment(processEnvironment);
    pack.setWorkingDirectory(work->path()); // where a core of Ctrl-\ would go
    pack.setStandardInputFile(input);
    pack.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pack.start(QStringLiteral(QUILLFERN_PACK_EXECUTABLE), QStringList{QStringLiteral("sign")} + arguments);
    return pack.waitForStarted();
}

int TestPackSign::runSign(const QStringList &arguments, const QMap<QString, QString> &environment) const
{
    QProcess pack;
    if (!startSign(pack, arguments, environment, QProcess::nullDevice()) || !pack.waitForFinished(180000) ||
        pack.exitStatus() != QProcess::NormalExit)
        return -1;
    return pack.exitCode();
}

SignatureCheck TestPackSign::checkSignature(const QString &package, Key key) const
{
    PackageSignature signature(readFile(package + QStringLiteral("/SHA256SUMS.minisig")),
                               PackageKeys::read(readFile(publicKeyPath(key))));
    const QByteArray manifest = readFile(package + QStringLiteral("/SHA256SUMS"));
    // In two pieces, as the updater hands it over while reading.
    signature.add(manifest.constData(), manifest.size() / 2);
    signature.add(manifest.constData() + manifest.size() / 2, manifest.size() - manifest.size() / 2);
    return signature.finish();
}

bool TestPackSign::minisignVerifies(const QString &package, Key key) const
{
    QProcess minisign;
    minisign.setStandardInputFile(QProcess::nullDevice());
    minisign.start(QStringLiteral("minisign"),
                   {QStringLiteral("-V"), QStringLiteral("-q"), QStringLiteral("-m"),
                    package + QStringLiteral("/SHA256SUMS"), QStringLiteral("-p"), publicKeyPath(key)});
    return minisign.waitForFinished(60000) && minisign.exitStatus() == QProcess::NormalExit &&
           minisign.exitCode() == 0;
}

void TestPackSign::scryptParameters_data()
{
    QTest::addColumn<quint64>("opsLimit");
    QTest::addColumn<quint64>("memLimit");
    QTest::addColumn<int>("nLog2");
    QTest::addColumn<quint32>("p");

    // minisign's own limits, libsodium's "sensitive" ones: checked against real keys in readsKey.
    QTest::newRow("minisign's limits") << quint64(33554432) << quint64(1073741824) << 20 << quint32(1);
    QTest::newRow("libsodium's interactive limits")
        << quint64(524288) << quint64(16777216) << 14 << quint32(1);
    QTest::newRow("operations below memory / 32 bound N")
        << quint64(65536) << (quint64(1) << 30) << 11 << quint32(1);
    QTest::newRow("operations below the floor count as 32768")
        << quint64(1) << (quint64(1) << 30) << 10 << quint32(1);
    QTest::newRow("memory bounds N, the operations left raise p")
        << (quint64(1) << 30) << quint64(16777216) << 14 << quint32(2048);
    QTest::newRow("almost no memory: the smallest N") << quint64(32768) << quint64(1) << 1 << quint32(512);
}

void TestPackSign::scryptParameters()
{
    QFETCH(quint64, opsLimit);
    QFETCH(quint64, memLimit);
    QFETCH(int, nLog2);
    QFETCH(quint32, p);

    const ScryptParameters parameters = ScryptParameters::fromLimits(opsLimit, memLimit);
    QCOMPARE(parameters.nLog2, nLog2);
    QCOMPARE(parameters.r, quint32(8));
    QCOMPARE(parameters.p, p);
}

void TestPackSign::readsKey_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("password"); // "-": none can be had
    QTest::addColumn<MinisignSecretKey::Problem>("problem");
    QTest::addColumn<bool>("passwordAsked");

    using P = MinisignSecretKey::Problem;
    const int plain = int(Key::Plain);
    const int encrypted = int(Key::Encrypted);
    QTest::newRow("unencrypted key, no password asked") << plain << ""
                                                        << "-" << P::None << false;
    QTest::newRow("encrypted key, right password") << encrypted << "" << Password << P::None << true;
    QTest::newRow("encrypted key, wrong password") << encrypted << ""
                                                   << "fern passwort" << P::WrongPassword << true;
    QTest::newRow("encrypted key, no password") << encrypted << ""
                                                << "-" << P::NoPassword << true;
    QTest::newRow("encrypted key asking for 1 TiB of memory and time to match")
        << encrypted << "huge memory" << Password << P::TooCostly << false;
    QTest::newRow("public key given") << plain << "public key"
                                      << "-" << P::PublicKeyGiven << false;
    QTest::newRow("garbage") << plain << "garbage"
                             << "-" << P::NotMinisignKey << false;
    QTest::newRow("empty file") << plain << "empty"
                                << "-" << P::NotMinisignKey << false;
    QTest::newRow("key line cut short") << plain << "truncated"
                                        << "-" << P::Damaged << false;
    QTest::newRow("key line not base64") << plain << "not base64"
                                         << "-" << P::Damaged << false;
    QTest::newRow("other signature algorithm") << plain << "other algorithm"
                                               << "-" << P::OtherAlgorithm << false;
    QTest::newRow("other key derivation") << plain << "other kdf"
                                          << "-" << P::OtherAlgorithm << false;
    QTest::newRow("unencrypted key with a wrong checksum") << plain << "checksum"
                                                           << "-" << P::Damaged << false;
}

void TestPackSign::readsKey()
{
    QFETCH(int, key);
    QFETCH(QString, change);
    QFETCH(QString, password);
    QFETCH(MinisignSecretKey::Problem, problem);
    QFETCH(bool, passwordAsked);
    if (!haveMinisign)
        QSKIP("needs the minisign command to make and check keys");

    QByteArray text = readFile(keyPath(Key(key)));
    if (change == QLatin1String("huge memory"))
        text = withKeyLine(text, [](QByteArray &b) {
            QByteArray oneTiB(8, '\0'); // 2^40, little-endian
            oneTiB[5] = 1;
            b.replace(OpsLimitAt, 8, oneTiB);
            b.replace(MemLimitAt, 8, oneTiB);
        });
    else if (change == QLatin1String("public key"))
        text = readFile(publicKeyPath(Key(key)));
    else if (change == QLatin1String("garbage"))
        text = "untrusted comment\nnot a key at all\n";
    else if (change == QLatin1String("empty"))
        text.clear();
    else if (change == QLatin1String("truncated"))
        text = text.left(text.indexOf('\n') + 100);
    else if (change == QLatin1String("not base64"))
        text.replace(text.indexOf('\n') + 10, 1, "*");
    else if (change == QLatin1String("other algorithm"))
        text = withKeyLine(text, [](QByteArray &b) { b[1] = 'x'; });
    else if (change == QLatin1String("other kdf"))
        text = withKeyLine(text, [](QByteArray &b) {
            b[2] = 'A';
            b[3] = 'r';
        });
    else if (change == QLatin1String("checksum"))
        text = withKeyLine(text, [](QByteArray &b) { b[ChecksumAt] = char(b.at(ChecksumAt) ^ 1); });

    int asked = 0;
    const MinisignSecretKey::Read read = MinisignSecretKey::read(text, [&]() -> std::optional<QByteArray> {
        ++asked;
        return password == QLatin1String("-") ? std::nullopt : std::optional<QByteArray>(password.toUtf8());
    });
    QCOMPARE(read.problem, problem);
    QCOMPARE(read.key.has_value(), problem == MinisignSecretKey::Problem::None);
    QCOMPARE(asked, passwordAsked ? 1 : 0);
    if (read.key) {
        const PackageKeys publicKey = PackageKeys::read(readFile(publicKeyPath(Key(key))));
        QCOMPARE(publicKey.keys.size(), 1);
        QCOMPARE(read.key->publicKey().id, publicKey.keys.first().id);
        QCOMPARE(read.key->publicKey().publicKey, publicKey.keys.first().publicKey);
        QCOMPARE(read.key->seed().size(), 32);
    }
}

void TestPackSign::signsAndVerifies_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("trustedComment");  // empty: the default
    QTest::addColumn<QString>("sourceDateEpoch"); // empty: unset
    QTest::addColumn<bool>("signatureThereBefore");
    QTest::addColumn<QString>("expectedComment"); // empty: the default with any time stamp

    const int plain = int(Key::Plain);
    const int encrypted = int(Key::Encrypted);
    const QString dated = QStringLiteral("timestamp:1700000000\tfile:SHA256SUMS\thashed");
    QTest::newRow("unencrypted key, default comment") << plain << ""
                                                      << "" << false << "";
    QTest::newRow("unencrypted key, own comment") << plain << "release 4.2"
                                                  << "" << false << "release 4.2";
    QTest::newRow("unencrypted key, comment dated by SOURCE_DATE_EPOCH") << plain << ""
                                                                         << "1700000000" << false << dated;
    QTest::newRow("unencrypted key, non-ASCII comment with tabs")
        << plain << QStringLiteral("Farn\tversion 4.2 \u00e9t\u00e9") << "" << false
        << QStringLiteral("Farn\tversion 4.2 \u00e9t\u00e9");
    QTest::newRow("unencrypted key, longest comment minisign reads")
        << plain << QString(PackageSigner::MaxTrustedCommentBytes, QLatin1Char('c')) << "" << false
        << QString(PackageSigner::MaxTrustedCommentBytes, QLatin1Char('c'));
    QTest::newRow("unencrypted key, old signature replaced") << plain << "again"
                                                             << "" << true << "again";
    QTest::newRow("encrypted key, own comment") << encrypted << "release 4.3"
                                                << "" << false << "release 4.3";
    QTest::newRow("encrypted key, dated default comment") << encrypted << ""
                                                          << "1700000000" << true << dated;
}

void TestPackSign::signsAndVerifies()
{
    QFETCH(int, key);
    QFETCH(QString, trustedComment);
    QFETCH(QString, sourceDateEpoch);
    QFETCH(bool, signatureThereBefore);
    QFETCH(QString, expectedComment);
    if (!haveMinisign)
        QSKIP("needs the minisign command to make and check keys");

    const QString package = makePackage(QStringLiteral("package"));
    QVERIFY(!package.isEmpty());
    const QString signaturePath = package + QStringLiteral("/SHA256SUMS.minisig");
    if (signatureThereBefore)
        QVERIFY(writeFile(signaturePath, "an old signature\n"));
    QStringList arguments{QStringLiteral("--key"), keyPath(Key(key))};
    if (!trustedComment.isEmpty())
        arguments << QStringLiteral("--trusted-comment") << trustedComment;
    arguments << package;
    QMap<QString, QString> environment;
    if (Key(key) == Key::Encrypted)
        environment.insert(QStringLiteral("QUILLFERN_PACK_PASSWORD"), Password);
    if (!sourceDateEpoch.isEmpty())
        environment.insert(QStringLiteral("SOURCE_DATE_EPOCH"), sourceDateEpoch);

    QCOMPARE(runSign(arguments, environment), 0);
    QVERIFY2(QFileInfo(signaturePath).isFile(), qPrintable(signaturePath));
    QCOMPARE(QDir(package).entryList(QDir::Files | QDir::Hidden).size(), 2); // nothing left beside it
    QVERIFY(minisignVerifies(package, Key(key)));

    const SignatureCheck check = checkSignature(package, Key(key));
    QVERIFY2(check.valid, qPrintable(check.problem));
    QCOMPARE(check.keyId, PackageKeys::read(readFile(publicKeyPath(Key(key)))).keys.first().idText());
    if (expectedComment.isEmpty())
        QVERIFY(QRegularExpression(QStringLiteral("^timestamp:\\d+\tfile:SHA256SUMS\thashed$"))
                    .match(check.trustedComment)
                    .hasMatch());
    else
        QCOMPARE(check.trustedComment, expectedComment);
}

void TestPackSign::refusesAndWritesNothing_data()
{
    QTest::addColumn<QString>("keyChange");     // how the key given differs from the unencrypted one
    QTest::addColumn<QString>("packageChange"); // how the package differs from a sound one
    QTest::addColumn<QStringList>("options");   // after "--key <key>"
    QTest::addColumn<QString>("sourceDateEpoch");
    QTest::addColumn<int>("status");

    const QStringList none;
    QTest::newRow("wrong password") << "encrypted, wrong password"
                                    << "" << none << "" << 1;
    QTest::newRow("encrypted key, no password, no terminal") << "encrypted, no password"
                                                             << "" << none << "" << 1;
    QTest::newRow("garbage key") << "garbage"
                                 << "" << none << "" << 1;
    QTest::newRow("public key as the key") << "public key"
                                           << "" << none << "" << 1;
    QTest::newRow("truncated key") << "truncated"
                                   << "" << none << "" << 1;
    QTest::newRow("key of another algorithm") << "other algorithm"
                                              << "" << none << "" << 1;
    QTest::newRow("key whose halves disagree") << "halves disagree"
                                               << "" << none << "" << 1;
    QTest::newRow("no key file") << "missing"
                                 << "" << none << "" << 1;
    QTest::newRow("key file a folder") << "folder"
                                       << "" << none << "" << 1;
    QTest::newRow("no SHA256SUMS") << ""
                                   << "no manifest" << none << "" << 1;
    QTest::newRow("SHA256SUMS a folder") << ""
                                         << "manifest folder" << none << "" << 1;
    QTest::newRow("SHA256SUMS a link") << ""
                                       << "manifest link" << none << "" << 1;
    QTest::newRow("no package folder") << ""
                                       << "no package" << none << "" << 1;
    QTest::newRow("package a file") << ""
                                    << "package file" << none << "" << 1;
    QTest::newRow("SHA256SUMS.minisig a folder") << ""
                                                 << "signature folder" << none << "" << 1;
    QTest::newRow("trusted comment with a line feed")
        << ""
        << "" << QStringList{"--trusted-comment", "one\ntwo"} << "" << 1;
    QTest::newRow("trusted comment with a carriage return")
        << ""
        << "" << QStringList{"--trusted-comment", "one\rtwo"} << "" << 1;
    QTest::newRow("trusted comment longer than minisign reads")
        << ""
        << "" << QStringList{"--trusted-comment", QString(PackageSigner::MaxTrustedCommentBytes + 1, 'c')}
        << "" << 1;
    QTest::newRow("SOURCE_DATE_EPOCH not a number") << ""
                                                    << "" << none << "yesterday" << 1;
    QTest::newRow("SOURCE_DATE_EPOCH negative") << ""
                                                << "" << none << "-5" << 1;
    QTest::newRow("no --key") << "not given"
                              << "" << QStringList{"--trusted-comment", "x"} << "" << 2;
    QTest::newRow("--key without a value") << "not given"
                                           << "unnamed" << QStringList{"--key"} << "" << 2;
    QTest::newRow("no package folder named") << ""
                                             << "unnamed" << none << "" << 2;
    QTest::newRow("two package folders") << ""
                                         << "named twice" << none << "" << 2;
    QTest::newRow("unknown option") << ""
                                    << "" << QStringList{"--legacy"} << "" << 2;
    QTest::newRow("--key twice") << ""
                                 << "" << QStringList{"--key", "other.key"} << "" << 2;
}

void TestPackSign::refusesAndWritesNothing()
{
    QFETCH(QString, keyChange);
    QFETCH(QString, packageChange);
    QFETCH(QStringList, options);
    QFETCH(QString, sourceDateEpoch);
    QFETCH(int, status);
    if (!haveMinisign)
        QSKIP("needs the minisign command to make and check keys");

    const QString package = makePackage(QStringLiteral("package"));
    QVERIFY(!package.isEmpty());
    const QString manifest = package + QStringLiteral("/SHA256SUMS");
    const QString signaturePath = package + QStringLiteral("/SHA256SUMS.minisig");
    const QByteArray oldSignature = "an old signature, to be kept\n";
    QVERIFY(writeFile(signaturePath, oldSignature));

    QString key = work->filePath(QStringLiteral("given.key"));
    QMap<QString, QString> environment;
    const QByteArray plainKey = readFile(keyPath(Key::Plain));
    QByteArray keyText = plainKey;
    if (keyChange.startsWith(QLatin1String("encrypted"))) {
        keyText = readFile(keyPath(Key::Encrypted));
        if (keyChange.endsWith(QLatin1String("wrong password")))
            environment.insert(QStringLiteral("QUILLFERN_PACK_PASSWORD"), QStringLiteral("fern passwort"));
    } else if (keyChange == QLatin1String("garbage")) {
        keyText = QByteArray(200, 'x');
    } else if (keyChange == QLatin1String("public key")) {
        keyText = readFile(publicKeyPath(Key::Plain));
    } else if (keyChange == QLatin1String("truncated")) {
        keyText.chop(40);
    } else if (keyChange == QLatin1String("other algorithm")) {
        keyText = withKeyLine(keyText, [](QByteArray &b) { b[0] = 'X'; });
    } else if (keyChange == QLatin1String("halves disagree")) {
        // The checksum of "minisign -G -W" is zero, so only the signature check can notice.
        QCOMPARE(QByteArray::fromBase64(plainKey.split('\n').at(1)).mid(ChecksumAt), QByteArray(32, '\0'));
        keyText = withKeyLine(keyText, [](QByteArray &b) { b[PublicHalfAt] = char(b.at(PublicHalfAt) ^ 4); });
    }
    if (keyChange == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(key));
    else if (keyChange != QLatin1String("missing"))
        QVERIFY(writeFile(key, keyText));

    QString packageArgument = package;
    if (packageChange == QLatin1String("no manifest")) {
        QVERIFY(QFile::remove(manifest));
    } else if (packageChange == QLatin1String("manifest folder")) {
        QVERIFY(QFile::remove(manifest));
        QVERIFY(QDir().mkpath(manifest));
    } else if (packageChange == QLatin1String("manifest link")) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shell shortcut here, a plain file");
#endif
        QVERIFY(QFile::rename(manifest, package + QStringLiteral("/SHA256SUMS.real")));
        QVERIFY(QFile::link(package + QStringLiteral("/SHA256SUMS.real"), manifest));
    } else if (packageChange == QLatin1String("no package")) {
        packageArgument = work->filePath(QStringLiteral("no such package"));
    } else if (packageChange == QLatin1String("package file")) {
        packageArgument = manifest;
    } else if (packageChange == QLatin1String("signature folder")) {
        QVERIFY(QFile::remove(signaturePath));
        QVERIFY(QDir().mkpath(signaturePath));
    }

    QStringList arguments;
    if (keyChange != QLatin1String("not given"))
        arguments << QStringLiteral("--key") << key;
    arguments << options;
    if (packageChange == QLatin1String("named twice"))
        arguments << package;
    if (packageChange != QLatin1String("unnamed"))
        arguments << packageArgument;
    if (!sourceDateEpoch.isEmpty())
        environment.insert(QStringLiteral("SOURCE_DATE_EPOCH"), sourceDateEpoch);

    const QMap<QString, QString> before = snapshotTree(work->path());
    QCOMPARE(runSign(arguments, environment), status);
    const QStringList changed = treeDifferences(before, snapshotTree(work->path()));
    QVERIFY2(changed.isEmpty(), qPrintable(changed.join(QLatin1Char('\n'))));
    if (QFileInfo(signaturePath).isFile())
        QCOMPARE(readFile(signaturePath), oldSignature);
}

void TestPackSign::changedAfterSigningFails_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("valid");

    QTest::newRow("unchanged") << "" << true;
    QTest::newRow("a hash in SHA256SUMS changed") << "manifest byte" << false;
    QTest::newRow("a line added to SHA256SUMS") << "manifest line" << false;
    QTest::newRow("SHA256SUMS emptied") << "manifest emptied" << false;
    QTest::newRow("trusted comment changed") << "comment" << false;
}

void TestPackSign::changedAfterSigningFails()
{
    QFETCH(QString, change);
    QFETCH(bool, valid);
    if (!haveMinisign)
        QSKIP("needs the minisign command to make and check keys");

    const QString package = makePackage(QStringLiteral("package"));
    QVERIFY(!package.isEmpty());
    QCOMPARE(runSign({QStringLiteral("--key"), keyPath(Key::Plain), QStringLiteral("--trusted-comment"),
                      QStringLiteral("release 5"), package},
                     {}),
             0);

    const QString manifest = package + QStringLiteral("/SHA256SUMS");
    const QString signaturePath = package + QStringLiteral("/SHA256SUMS.minisig");
    QByteArray manifestText = readFile(manifest);
    QByteArray signatureText = readFile(signaturePath);
    if (change == QLatin1String("manifest byte"))
        manifestText[0] = manifestText.at(0) == '0' ? '1' : '0';
    else if (change == QLatin1String("manifest line"))
        manifestText += QByteArray(64, '0') + "  ./extra.bin\n";
    else if (change == QLatin1String("manifest emptied"))
        manifestText.clear();
    else if (change == QLatin1String("comment"))
        signatureText.replace("release 5", "release 6");
    QVERIFY(writeFile(manifest, manifestText));
    QVERIFY(writeFile(signaturePath, signatureText));

    const SignatureCheck check = checkSignature(package, Key::Plain);
    QCOMPARE(check.valid, valid);
    QCOMPARE(minisignVerifies(package, Key::Plain), valid);
}

void TestPackSign::passwordPrompt_data()
{
    QTest::addColumn<int>("signal"); // sent at the prompt; 0: the password is typed

    QTest::newRow("password typed") << 0;
#ifdef Q_OS_UNIX
    QTest::newRow("Ctrl-C at the prompt") << int(SIGINT);
    QTest::newRow("Ctrl-\\ at the prompt") << int(SIGQUIT);
    QTest::newRow("terminal hung up at the prompt") << int(SIGHUP);
    QTest::newRow("ended at the prompt") << int(SIGTERM);
#endif
}

// The prompt on a real terminal (a pseudo-terminal the test holds): the
// password typed there signs, and however the prompt ends, the terminal gets
// its echo back.
void TestPackSign::passwordPrompt()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a pseudo-terminal");
#else
    QFETCH(int, signal);
    if (!haveMinisign)
        QSKIP("needs the minisign command to make and check keys");
    PseudoTerminal terminal;
    QVERIFY(terminal.isValid());
    QVERIFY(terminal.echoes());
    const QString package = makePackage(QStringLiteral("package"));
    QVERIFY(!package.isEmpty());

    QProcess pack;
    QVERIFY(
        startSign(pack, {QStringLiteral("--key"), keyPath(Key::Encrypted), package}, {}, terminal.path()));
    // The prompt is up once echo is off; typed earlier, the line would be flushed away.
    QTRY_VERIFY_WITH_TIMEOUT(!terminal.echoes() || pack.state() == QProcess::NotRunning, 60000);
    QCOMPARE(pack.state(), QProcess::Running);
    if (signal != 0)
        QCOMPARE(::kill(pid_t(pack.processId()), signal), 0);
    else
        QVERIFY(terminal.type((Password + QLatin1Char('\n')).toUtf8()));
    QVERIFY(pack.waitForFinished(180000));

    QVERIFY2(terminal.echoes(), "the terminal was left with echo off");
    QCOMPARE(pack.exitStatus(), signal != 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(QFileInfo::exists(package + QStringLiteral("/SHA256SUMS.minisig")), signal == 0);
    if (signal == 0)
        QVERIFY(checkSignature(package, Key::Encrypted).valid);
#endif
}

QTEST_MAIN(TestPackSign)
#include "tst_packsign.moc"
