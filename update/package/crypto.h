#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <vector>

#include "canceltoken.h"

struct gcry_md_handle;

// The cryptography the run relies on, from libgcrypt: SHA-256 (on the
// processor's SHA instructions where it has them), BLAKE2b-512 and Ed25519.
namespace Crypto {

using Sha256Digest = std::array<unsigned char, 32>;

// Readies libgcrypt once per process, from whichever thread comes first.
void initialise();

// A hash taken piece by piece; each algorithm's class gives its digest.
class Hash
{
public:
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;

    void add(const char *data, qint64 size);

protected:
    explicit Hash(int algorithm);
    ~Hash();
    // The digest of everything added; ends the hash.
    const unsigned char *digest();

private:
    gcry_md_handle *handle = nullptr;
};

class Sha256 : public Hash
{
public:
    Sha256();
    Sha256Digest result();
};

class Blake2b512 : public Hash
{
public:
    Blake2b512();
    // 64 bytes.
    QByteArray result();
};

// The hash a file came to, or why it has none.
struct FileHash
{
    enum class State : quint8 { Unhashed, Hashed, Missing, NotPlainFile, Unreadable };

    QString path;
    Sha256Digest digest{};
    State state = State::Unhashed;
    QString reason; // the system's, when it could not be read
};

// Hashes every file of `files`, `threads` at a time (0: one per processor
// core), each thread taking the next one still to do. Checks `cancel`
// between two files; what was not reached stays Unhashed.
void hashFiles(std::vector<FileHash> &files, int threads, const CancelToken &cancel);
// The same for `count` files that are named only as they are taken
// (`pathOf`), each hash handed to `hashed` as it is done, from whichever
// thread took it, so that no list of them all need be held.
void hashEach(size_t count, const std::function<QString(size_t)> &pathOf,
              const std::function<void(size_t, const FileHash &)> &hashed, int threads,
              const CancelToken &cancel);

// The longest message verifyEd25519() takes: libgcrypt aborts the process on a
// longer one (its S-expressions hold no datum of 64 KiB or more).
constexpr int MaxEd25519MessageBytes = 65535;

// Whether `signature` (64 bytes) is the Ed25519 signature of `message` by
// `publicKey` (32 bytes); false for a message longer than MaxEd25519MessageBytes.
bool verifyEd25519(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature);

// The 64-byte Ed25519 signature of `message` by the key whose 32-byte seed
// and public key are given; empty when libgcrypt would not sign, or the
// message is longer than MaxEd25519MessageBytes. Only the publisher's tool signs.
QByteArray signEd25519(const QByteArray &seed, const QByteArray &publicKey, const QByteArray &message);

} // namespace Crypto
