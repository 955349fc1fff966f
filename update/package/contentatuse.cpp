#include "contentatuse.h"

#include <QFileInfo>

#include <algorithm>
#include <vector>

#include "package.h"

namespace {

const QString differsFromList = QStringLiteral("its content differs from what SHA256SUMS lists for it");

} // namespace

void ListedContent::add(const QString &path, const Crypto::Sha256Digest &digest, int line)
{
    const QByteArray keyBytes = key(path).toUtf8();
    Entry entry{quint32(keys.size()), SpelledAsKey, quint32(keyBytes.size()), 0, qint32(line), digest};
    keys += keyBytes;
    const QByteArray spelled = path.toUtf8();
    if (spelled != keyBytes) {
        entry.spellingAt = quint32(spellings.size());
        entry.spellingBytes = quint32(spelled.size());
        spellings += spelled;
    }
    entries.push_back(entry);
}

QByteArray ListedContent::keyOf(const Entry &entry) const
{
    return QByteArray::fromRawData(keys.constData() + entry.keyAt, entry.keyBytes);
}

void ListedContent::seal()
{
    entries.shrink_to_fit();
    // Stable: of a path listed twice, the first line is found.
    std::stable_sort(entries.begin(), entries.end(),
                     [this](const Entry &a, const Entry &b) { return keyOf(a) < keyOf(b); });
}

const Crypto::Sha256Digest *ListedContent::find(const QString &path) const
{
    const QByteArray wanted = key(path).toUtf8();
    const auto found = std::lower_bound(entries.cbegin(), entries.cend(), wanted,
                                        [this](const Entry &entry, const QByteArray &wanted) {
                                            return keyOf(entry) < wanted;
                                        });
    return found != entries.cend() && keyOf(*found) == wanted ? &found->digest : nullptr;
}

QString ListedContent::pathAt(int index) const
{
    const Entry &entry = entries[size_t(index)];
    return entry.spellingAt == SpelledAsKey
               ? QString::fromUtf8(keys.constData() + entry.keyAt, entry.keyBytes)
               : QString::fromUtf8(spellings.constData() + entry.spellingAt, entry.spellingBytes);
}

QString ListedContent::key(const QString &path)
{
    return FileOps::nameKey(path);
}

void ContentAtUse::setListed(std::shared_ptr<const ListedContent> content)
{
    listed = std::move(content);
}

Outcome ContentAtUse::difference(const QString &path, const QString &reason)
{
    differs = true;
    return Outcome::failure(QStringLiteral("install"), path, reason);
}

Outcome ContentAtUse::checkListed(const QString &source, const QString &relative)
{
    if (!isChecking() || listed->find(relative))
        return Outcome::done();
    return difference(source, QStringLiteral("it is not listed in SHA256SUMS: it came into the package after "
                                             "the package was checked"));
}

Outcome ContentAtUse::writeTemporaryCopy(const QString &source, const QString &relative,
                                         const QString &temporary, const FileOps::Progress &progress)
{
    const Crypto::Sha256Digest *expected = isChecking() ? listed->find(relative) : nullptr;
    if (!expected) {
        if (isChecking())
            return checkListed(source, relative);
        return FileOps::writeTemporaryCopy(source, temporary, progress)
                   ? Outcome::done()
                   : FileOps::failure(QStringLiteral("copy"), source);
    }
    Crypto::Sha256 hash;
    const auto written = [&hash](const char *data, qint64 size) { hash.add(data, size); };
    if (!FileOps::writeTemporaryCopy(source, temporary, progress, written))
        return FileOps::failure(QStringLiteral("copy"), source);
    if (hash.result() != *expected) {
        FileOps::removeIfPresent(temporary);
        return difference(source, differsFromList);
    }
    placed.insert(ListedContent::key(relative));
    return Outcome::done();
}

Outcome ContentAtUse::checkRead(const QString &path, const QString &relative, const QByteArray &bytes)
{
    if (!isChecking())
        return Outcome::done();
    const Crypto::Sha256Digest *expected = listed->find(relative);
    if (!expected)
        return checkListed(path, relative);
    Crypto::Sha256 hash;
    hash.add(bytes.constData(), bytes.size());
    return hash.result() == *expected ? Outcome::done() : difference(path, differsFromList);
}

void ContentAtUse::noteMoved(const QString &relative)
{
    if (!isChecking())
        return;
    moved.append(relative);
    placed.insert(ListedContent::key(relative));
}

Outcome ContentAtUse::checkPlaced(const QString &root, const QString &payload, const CancelToken &cancel,
                                  int threads)
{
    if (!isChecking())
        return Outcome::done();
    std::vector<Crypto::FileHash> files(size_t(moved.size()));
    for (int index = 0; index < moved.size(); ++index)
        files[size_t(index)].path = root + QLatin1Char('/') + moved.at(index);
    Crypto::hashFiles(files, threads, cancel);
    if (cancel.isCancelled())
        return Outcome::failure(QStringLiteral("check the installed files"), root,
                                QStringLiteral("the run was cancelled"));
    for (size_t index = 0; index < files.size(); ++index) {
        const Crypto::FileHash &file = files[index];
        if (file.state == Crypto::FileHash::State::Hashed &&
            file.digest == *listed->find(moved.at(int(index))))
            continue;
        const QString reason = file.state == Crypto::FileHash::State::Hashed ? differsFromList
                               : file.state == Crypto::FileHash::State::Unreadable
                                   ? QStringLiteral("it could not be read to be checked: ") + file.reason
                                   : QStringLiteral("it is no longer in place");
        return difference(file.path, reason);
    }
    const QString deletionList = ListedContent::key(Package::deletionListName());
    for (int index = 0; index < listed->size(); ++index) {
        const QString path = listed->pathAt(index);
        const QString key = ListedContent::key(path);
        if (placed.contains(key) || key == deletionList ||
            FileOps::existsOrIsLink(QFileInfo(payload + QLatin1Char('/') + path)))
            continue;
        return difference(payload + QLatin1Char('/') + path,
                          QStringLiteral("it is listed in SHA256SUMS but was gone from the package when it "
                                         "was to be installed"));
    }
    return Outcome::done();
}
