#include "crypto.h"

#include <atomic>
#include <mutex>

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <gcrypt.h>

#include "place.h"

namespace Crypto {

namespace {

constexpr int ReadChunk = 1024 * 1024;

// The oldest libgcrypt with BLAKE2b and EdDSA verification as used here.
constexpr const char *OldestLibrary = "1.8.0";

// An S-expression freed when it goes out of scope.
class Sexp
{
public:
    Sexp() = default;
    ~Sexp() { gcry_sexp_release(value); }
    Sexp(const Sexp &) = delete;
    Sexp &operator=(const Sexp &) = delete;

    gcry_sexp_t *out() { return &value; }
    gcry_sexp_t get() const { return value; }

private:
    gcry_sexp_t value = nullptr;
};

FileHash::State hashFile(FileHash &file, QByteArray &buffer)
{
    // As the copy takes it: a Windows shortcut is a file, a link is what it leads to.
    const Place place = Place::of(file.path);
    if (!place.exists())
        return FileHash::State::Missing;
    if (!place.leadsToFile())
        return FileHash::State::NotPlainFile;
    QFile in(file.path);
    if (!in.open(QIODevice::ReadOnly)) {
        file.reason = in.errorString();
        return FileHash::State::Unreadable;
    }
    Sha256 hash;
    for (;;) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read < 0) {
            file.reason = in.errorString();
            return FileHash::State::Unreadable;
        }
        if (read == 0)
            break;
        hash.add(buffer.constData(), read);
    }
    file.digest = hash.result();
    return FileHash::State::Hashed;
}

} // namespace

void initialise()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!gcry_check_version(OldestLibrary))
            qFatal("libgcrypt %s or later is needed; this one is %s", OldestLibrary,
                   gcry_check_version(nullptr));
        // Only public keys and hashes pass through here: nothing needs locked memory.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

Sha256::Sha256()
{
    initialise();
    gcry_md_hd_t opened = nullptr;
    if (gcry_md_open(&opened, GCRY_MD_SHA256, 0) != 0)
        qFatal("libgcrypt offers no SHA-256");
    handle = opened;
}

Sha256::~Sha256()
{
    gcry_md_close(handle);
}

void Sha256::add(const char *data, qint64 size)
{
    gcry_md_write(handle, data, size_t(size));
}

Sha256Digest Sha256::result()
{
    Sha256Digest digest;
    const unsigned char *bytes = gcry_md_read(handle, GCRY_MD_SHA256);
    std::copy(bytes, bytes + digest.size(), digest.begin());
    return digest;
}

void hashFiles(std::vector<FileHash> &files, int threads, const CancelToken &cancel)
{
    initialise();
    if (threads <= 0)
        threads = qMax(1, QThread::idealThreadCount());
    std::atomic<size_t> next{0};
    // Each thread writes only the entries it took.
    const auto work = [&] {
        QByteArray buffer(ReadChunk, Qt::Uninitialized);
        for (size_t index = next++; index < files.size() && !cancel.isCancelled(); index = next++)
            files[index].state = hashFile(files[index], buffer);
    };
    QThreadPool pool;
    pool.setMaxThreadCount(qMax(1, threads - 1));
    QVector<QFuture<void>> helpers;
    for (int helper = 1; helper < threads && size_t(helper) < files.size(); ++helper)
        helpers << QtConcurrent::run(&pool, work);
    work();
    for (QFuture<void> &helper : helpers)
        helper.waitForFinished();
}

QByteArray blake2b512(const QByteArray &data)
{
    initialise();
    QByteArray digest(64, Qt::Uninitialized);
    gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest.data(), data.constData(), size_t(data.size()));
    return digest;
}

bool verifyEd25519(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    initialise();
    Sexp key, sig, data;
    if (gcry_sexp_build(key.out(), nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        publicKey.size(), publicKey.constData()) != 0 ||
        gcry_sexp_build(sig.out(), nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.constData(), 32,
                        signature.constData() + 32) != 0 ||
        gcry_sexp_build(data.out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        message.size(), message.constData()) != 0)
        return false;
    return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

} // namespace Crypto
