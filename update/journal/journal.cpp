#include "journal.h"

#include <array>
#include <cstring>
#include <limits>

#include <QFileInfo>
#include <QStringList>

#include "fileops.h"

// A record is one line: the kind letter, a space, the percent-encoded path
// (followed, where the record has one, by a NUL and its `extra`, and where it
// has an identity, by another NUL and the identity), a space and
// the CRC-32 of all before that space in eight hex digits. Percent-encoding
// leaves no space or line end inside the path. The first line is the record
// "J <format version>". Format 3 is format 2 with the package record "P"
// after it; format 4 adds the record "A" of a volume's area, written before
// the first change there; format 5 adds identities and the record "I" of what
// the run made. Format 1 had neither the header nor the checksums: a line ended
// where the record did.
namespace {

constexpr qint64 BlockSize = 64 * 1024;
// No record a run writes comes near it, however long its paths (Windows
// allows 32,767 UTF-16 units, nine bytes each at most once percent-encoded):
// a longer line is damage, and reading never holds more than this of one.
constexpr int MaxRecordSize = 1024 * 1024;
constexpr char HeaderKind = 'J';
constexpr int ChecksumDigits = 8;
// The first format whose records are framed; every later one is framed too.
const char unframedKinds[] = "MNDTLV";

const std::array<quint32, 256> &crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> entries{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    return table;
}

// CRC-32 as zlib and PNG compute it.
quint32 crc32(const char *data, int size)
{
    const auto &table = crcTable();
    quint32 crc = 0xFFFFFFFFu;
    for (int i = 0; i < size; ++i)
        crc = table[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

QByteArray checksumText(const char *data, int size)
{
    return QByteArray::number(crc32(data, size), 16).rightJustified(ChecksumDigits, '0');
}

// The content of a framed line, "K path", when its checksum holds.
bool unframe(const QByteArray &line, QByteArray *content)
{
    const int space = line.lastIndexOf(' ');
    if (space < 0 || line.size() - space - 1 != ChecksumDigits)
        return false;
    if (line.mid(space + 1) != checksumText(line.constData(), space))
        return false;
    *content = line.left(space);
    return true;
}

bool decode(const QByteArray &content, JournalRecord *record)
{
    if (content.size() < 2 || content.at(1) != ' ')
        return false;
    // Sized, since the path and its extra are split by a NUL.
    const QByteArray bytes = QByteArray::fromPercentEncoding(content.mid(2));
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    const QStringList fields = text.split(QChar(0));
    if (fields.size() > 3)
        return false;
    record->kind = content.at(0);
    record->path = fields.at(0);
    record->extra = fields.value(1);
    record->identity = fields.value(2);
    return true;
}

// How a journal file begins: its format, and where its records start.
struct Format
{
    qint64 version = Journal::FormatVersion;
    qint64 recordsBegin = 0;
    // Not even its first record is whole: it holds none.
    bool nothingWhole = false;
    // Why it cannot be read safely; empty when it can.
    QString damage;
};

// The format a first line "J <version> ..." names, framed or not: a newer
// updater keeps that start whatever else it changes. Zero for any other line.
qint64 namedVersion(const QByteArray &line)
{
    if (line.size() < 3 || line.at(0) != HeaderKind || line.at(1) != ' ')
        return 0;
    int digitsEnd = 2;
    while (digitsEnd < line.size() && line.at(digitsEnd) >= '0' && line.at(digitsEnd) <= '9')
        ++digitsEnd;
    if (digitsEnd == 2 || digitsEnd == line.size() || line.at(digitsEnd) != ' ')
        return 0;
    bool ok = false;
    const qint64 version = line.mid(2, digitsEnd - 2).toLongLong(&ok);
    return ok ? version : std::numeric_limits<qint64>::max();
}

// Whether a whole line of `head` carries a valid frame: then the journal is
// framed, whatever its first line says.
bool holdsFramedRecords(const QByteArray &head)
{
    for (int from = 0; from < head.size();) {
        const int lineEnd = head.indexOf('\n', from);
        if (lineEnd < 0)
            break;
        QByteArray content;
        JournalRecord record;
        if (unframe(head.mid(from, lineEnd - from), &content) && decode(content, &record))
            return true;
        from = lineEnd + 1;
    }
    return false;
}

// Whether the file holds a line end anywhere. Without one it holds no whole
// record of any format: every change is made only after its record's line end
// is on disk.
bool holdsLineEnd(QFile &file)
{
    if (!file.seek(0))
        return true;
    for (QByteArray block = file.read(BlockSize); !block.isEmpty(); block = file.read(BlockSize)) {
        if (block.contains('\n'))
            return true;
    }
    return false;
}

Format readFormat(QFile &file)
{
    Format format;
    file.seek(0);
    const QByteArray head = file.read(BlockSize);
    if (head.isEmpty()) {
        format.nothingWhole = true;
        return format;
    }
    const int firstLineEnd = head.indexOf('\n');
    const QByteArray firstLine = firstLineEnd < 0 ? head : head.left(firstLineEnd);
    const qint64 named = namedVersion(firstLine);
    if (named > Journal::FormatVersion) {
        format.version = named;
        return format;
    }
    QByteArray content;
    if (firstLineEnd >= 0 && named >= Journal::FirstFramedVersion && unframe(firstLine, &content)) {
        format.version = named;
        format.recordsBegin = firstLineEnd + 1;
        return format;
    }
    // No valid header. A first line cut short is a journal whose first write
    // never reached the disk whole; anything else is damage, never a guess.
    if (!holdsLineEnd(file)) {
        format.nothingWhole = true;
        return format;
    }
    if (holdsFramedRecords(head))
        format.damage = QStringLiteral("its first record, which names its format, is damaged");
    else if (std::strchr(unframedKinds, head.at(0)) && head.at(0) != 0 && named == 0)
        format.version = 1;
    else
        format.damage = QStringLiteral("it does not begin with a record of any format this updater knows");
    return format;
}

// Where the framed records from `begin` on stop being whole.
qint64 wholeEnd(QFile &file, qint64 begin)
{
    if (!file.seek(begin))
        return begin;
    qint64 end = begin;
    QByteArray buffer;
    int from = 0;
    for (;;) {
        const int lineEnd = buffer.indexOf('\n', from);
        if (lineEnd < 0) {
            // A line longer than any record is damage: what follows is not read at all.
            if (buffer.size() - from > MaxRecordSize)
                return end;
            const QByteArray more = file.read(BlockSize);
            if (more.isEmpty())
                return end;
            buffer = buffer.mid(from) + more;
            from = 0;
            continue;
        }
        QByteArray content;
        JournalRecord record;
        if (!unframe(buffer.mid(from, lineEnd - from), &content) || !decode(content, &record))
            return end;
        end += lineEnd + 1 - from;
        from = lineEnd + 1;
    }
}

// Where the last line end of an unframed journal is: what follows it is a
// record cut short.
qint64 lastLineEnd(QFile &file)
{
    for (qint64 end = file.size(); end > 0;) {
        const qint64 start = qMax<qint64>(0, end - BlockSize);
        if (!file.seek(start))
            return 0;
        const int found = file.read(end - start).lastIndexOf('\n');
        if (found >= 0)
            return start + found + 1;
        end = start;
    }
    return 0;
}

// Visits the lines of [begin, end), each of which ends with a line end, newest
// first, without the line end.
template <typename Visit> bool forEachLineBackward(QFile &file, qint64 begin, qint64 end, Visit visit)
{
    QByteArray pending; // unvisited lines read so far; the first may begin in an earlier block
    for (qint64 start = end; start > begin;) {
        const qint64 from = qMax(begin, start - BlockSize);
        if (!file.seek(from))
            return false;
        const QByteArray block = file.read(start - from);
        if (block.size() != start - from)
            return false;
        pending.prepend(block);
        start = from;
        int lineEnd = pending.size() - 1;
        while (lineEnd > 0) {
            const int previous = pending.lastIndexOf('\n', lineEnd - 1);
            if (previous < 0)
                break;
            visit(pending.mid(previous + 1, lineEnd - previous - 1));
            lineEnd = previous;
        }
        pending.truncate(lineEnd + 1);
        // A line longer than any record is no record of ours.
        if (pending.size() > MaxRecordSize + BlockSize)
            return false;
    }
    if (!pending.isEmpty())
        visit(pending.left(pending.size() - 1));
    return true;
}

QByteArray headerRecord()
{
    return Journal::frame({HeaderKind, QString::number(Journal::FormatVersion), QString()});
}

} // namespace

Journal::Journal(const QString &path)
    : file(path)
{}

Journal::~Journal() = default;

QByteArray Journal::frame(const JournalRecord &record)
{
    QString text = record.path;
    if (!record.extra.isEmpty() || !record.identity.isEmpty())
        text += QChar(0) + record.extra;
    if (!record.identity.isEmpty())
        text += QChar(0) + record.identity;
    QByteArray line;
    line.reserve(text.size() + 16);
    line += record.kind;
    line += ' ';
    line += text.toUtf8().toPercentEncoding("/");
    const QByteArray checksum = checksumText(line.constData(), line.size());
    line += ' ';
    line += checksum;
    line += '\n';
    return line;
}

Outcome Journal::open()
{
    if (file.isOpen())
        return Outcome::done();
    broken = false;
    wholeSize = 0;
    if (QFileInfo(file.fileName()).size() > 0) {
        QFile existing(file.fileName());
        if (!existing.open(QIODevice::ReadOnly))
            return Outcome::failure(QStringLiteral("read the journal"), existing.fileName(),
                                    existing.errorString());
        const Format format = readFormat(existing);
        if (!format.damage.isEmpty())
            return Outcome::failure(QStringLiteral("add to the journal"), existing.fileName(),
                                    QStringLiteral("it cannot be read safely: %1").arg(format.damage));
        if (format.version != FormatVersion)
            return Outcome::failure(
                QStringLiteral("add to the journal"), existing.fileName(),
                QStringLiteral("it holds records of another format, %1").arg(format.version));
        if (!format.nothingWhole)
            wholeSize = wholeEnd(existing, format.recordsBegin);
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return Outcome::failure(QStringLiteral("open the journal"), file.fileName(), file.errorString());
    if (file.size() > wholeSize)
        cutBack();
    if (broken)
        return Outcome::failure(QStringLiteral("cut the journal back to its last whole record"),
                                file.fileName(),
                                file.errorString().isEmpty() ? FileOps::lastError() : file.errorString());
    return Outcome::done();
}

// A short write reports no error of its own: writing on is what tells the system's reason.
Outcome Journal::writeAll(const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return Outcome::failure(QStringLiteral("write to the journal"), file.fileName(),
                                    file.errorString());
        done += written;
    }
    return Outcome::done();
}

void Journal::cutBack()
{
    if (file.resize(wholeSize) && FileOps::flushFile(file.fileName()))
        return;
    broken = true;
}

Outcome Journal::append(const QByteArray &framedRecords)
{
    if (broken)
        return Outcome::failure(QStringLiteral("write to the journal"), file.fileName(),
                                QStringLiteral("a record cut short could not be taken back out of it"));
    for (int from = 0; from < framedRecords.size();) {
        const int next = framedRecords.indexOf('\n', from) + 1;
        if (next == 0 || next - from > MaxRecordSize)
            return Outcome::failure(QStringLiteral("write to the journal"), file.fileName(),
                                    QStringLiteral("a record would be longer than the journal reads back"));
        from = next;
    }
    const QByteArray bytes = wholeSize == 0 ? headerRecord() + framedRecords : framedRecords;
    Outcome outcome = writeAll(bytes);
    if (outcome && !FileOps::flushFile(file.fileName()))
        outcome =
            Outcome::failure(QStringLiteral("flush the journal"), file.fileName(), FileOps::lastError());
    if (!outcome) {
        cutBack();
        return outcome;
    }
    wholeSize += bytes.size();
    return outcome;
}

void Journal::close()
{
    file.close();
    wholeSize = 0;
    broken = false;
}

Outcome Journal::readNewestFirst(const QString &path, const std::function<void(const JournalRecord &)> &visit,
                                 int *formatRead)
{
    if (formatRead)
        *formatRead = FormatVersion;
    QFile records(path);
    if (!FileOps::existsOrIsLink(QFileInfo(path)))
        return Outcome::done();
    if (!records.open(QIODevice::ReadOnly))
        return Outcome::failure(QStringLiteral("read the journal"), path, records.errorString());
    const Format format = readFormat(records);
    if (!format.damage.isEmpty())
        return Outcome::failure(QStringLiteral("read the journal"), path,
                                QStringLiteral("it cannot be read safely: %1").arg(format.damage));
    if (format.version > FormatVersion)
        return Outcome::failure(QStringLiteral("read the journal"), path,
                                QStringLiteral("it was written by a newer updater, in format %1, which this "
                                               "one does not know; only a newer updater can roll it back")
                                    .arg(format.version));
    if (formatRead)
        *formatRead = int(format.version);
    if (format.nothingWhole)
        return Outcome::done();
    const bool framed = format.version >= FirstFramedVersion;
    const qint64 end = framed ? wholeEnd(records, format.recordsBegin) : lastLineEnd(records);
    const bool read = forEachLineBackward(records, format.recordsBegin, end, [&](const QByteArray &line) {
        QByteArray content = line;
        JournalRecord record;
        if ((!framed || unframe(line, &content)) && decode(content, &record))
            visit(record);
    });
    if (!read)
        return Outcome::failure(
            QStringLiteral("read the journal"), path,
            records.error() != QFileDevice::NoError
                ? records.errorString()
                : QStringLiteral("it cannot be read safely: a line is longer than any record"));
    return Outcome::done();
}
