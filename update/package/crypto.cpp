#include "crypto.h"

#include <atomic>
#include <mutex>

#include <QThread>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <gcrypt.h>

#include "fileops.h"

namespace Crypto {

namespace {

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

// One half of an EdDSA signature, left-padded to 32 bytes: libgcrypt drops leading zero bytes.
QByteArray signatureHalf(gcry_sexp_t signature, const char *name)
{
    Sexp token;
    *token.out() = gcry_sexp_find_token(signature, name, 0);
    size_t length = 0;
    const char *data = token.get() ? gcry_sexp_nth_data(token.get(), 1, &length) : nullptr;
    if (!data || length > size_t(32))
        return QByteArray();
    return QByteArray(32 - int(length), '\0') + QByteArray(data, int(length));
}

gcry_md_hd_t openHash(int algorithm)
{
    initialise();
    gcry_md_hd_t opened = nullptr;
    if (gcry_md_open(&opened, algorithm, 0) != 0)
        qFatal("libgcrypt offers no %s", gcry_md_algo_name(algorithm));
    return opened;
}

// As the copy takes it: a Windows shortcut is a file, a link is what it leads to.
FileHash::State hashFile(FileHash &file, const CancelToken &cancel)
{
    Sha256 hash;
    const FileOps::ReadResult read = FileOps::readPlainFile(
        file.path, -1,
        [&](const char *data, qint64 size) {
            hash.add(data, size);
            cancel.noteProgress();
        },
        true);
    switch (read) {
    case FileOps::ReadResult::Read:
        file.digest = hash.result();
        return FileHash::State::Hashed;
    case FileOps::ReadResult::Missing:
        return FileHash::State::Missing;
    case FileOps::ReadResult::NotPlainFile:
        return FileHash::State::NotPlainFile;
    case FileOps::ReadResult::TooLarge:
    case FileOps::ReadResult::Failed:
        break;
    }
    file.reason = FileOps::lastError();
    return FileHash::State::Unreadable;
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

Hash::Hash(int algorithm)
    : handle(openHash(algorithm))
{}

Hash::~Hash()
{
    gcry_md_close(handle);
}

void Hash::add(const char *data, qint64 size)
{
    gcry_md_write(handle, data, size_t(size));
}

const unsigned char *Hash::digest()
{
    return gcry_md_read(handle, 0);
}

Sha256::Sha256()
    : Hash(GCRY_MD_SHA256)
{}

Sha256Digest Sha256::result()
{
    Sha256Digest result;
    const unsigned char *bytes = digest();
    std::copy(bytes, bytes + result.size(), result.begin());
    return result;
}

Blake2b512::Blake2b512()
    : Hash(GCRY_MD_BLAKE2B_512)
{}

QByteArray Blake2b512::result()
{
    return QByteArray(reinterpret_cast<const char *>(digest()), 64);
}

void hashFiles(std::vector<FileHash> &files, int threads, const CancelToken &cancel)
{
    hashEach(
        files.size(), [&files](size_t index) { return files[index].path; },
        [&files](size_t index, const FileHash &hash) { files[index] = hash; }, threads, cancel);
}

void hashEach(size_t count, const std::function<QString(size_t)> &pathOf,
              const std::function<void(size_t, const FileHash &)> &hashed, int threads,
              const CancelToken &cancel)
{
    initialise();
    if (threads <= 0)
        threads = qMax(1, QThread::idealThreadCount());
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t index = next++; index < count && !cancel.isCancelled(); index = next++) {
            FileHash file;
            file.path = pathOf(index);
            file.state = hashFile(file, cancel);
            hashed(index, file);
        }
    };
    QThreadPool pool;
    pool.setMaxThreadCount(qMax(1, threads - 1));
    QVector<QFuture<void>> helpers;
    for (int helper = 1; helper < threads && size_t(helper) < count; ++helper)
        helpers << QtConcurrent::run(&pool, work);
    work();
    for (QFuture<void> &helper : helpers)
        helper.waitForFinished();
}

bool verifyEd25519(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    if (publicKey.size() != 32 || signature.size() != 64 || message.size() > MaxEd25519MessageBytes)
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

QByteArray signEd25519(const QByteArray &seed, const QByteArray &publicKey, const QByteArray &message)
{
    if (seed.size() != 32 || publicKey.size() != 32 || message.size() > MaxEd25519MessageBytes)
        return QByteArray();
    initialise();
    Sexp key, data, signature;
    if (gcry_sexp_build(key.out(), nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                        32, publicKey.constData(), 32, seed.constData()) != 0 ||
        gcry_sexp_build(data.out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        message.size(), message.constData()) != 0 ||
        gcry_pk_sign(signature.out(), data.get(), key.get()) != 0)
        return QByteArray();
    const QByteArray r = signatureHalf(signature.get(), "r");
    const QByteArray s = signatureHalf(signature.get(), "s");
    return r.isEmpty() || s.isEmpty() ? QByteArray() : r + s;
}

} // namespace Crypto
