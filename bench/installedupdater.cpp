#include "installedupdater.h"

#include <QDir>
#include <QFile>

#include <chrono>
#include <thread>

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The product stand-in notes when it was started; the stop stand-in ends nothing. The updater
// ends itself once its self-stop is over.
bool installUpdater(const QString &root, const QString &updater)
{
    const QString bin = root + QStringLiteral("/bin");
    const auto script = [&](const QString &name, const QByteArray &body) {
        QFile file(bin + QLatin1Char('/') + name);
        return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + body) > 0 &&
               file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    };
    return QDir().mkpath(bin) && QFile::copy(updater, bin + QStringLiteral("/quillFern")) &&
           script(QStringLiteral("Halvorquintel"), "date +%s.%N > \"$(dirname \"$0\")/product-started\"\n") &&
           script(QStringLiteral("tskill"), "exit 0\n");
}

// The product stand-in's start time; it may still be writing it when the updater has ended.
double readStartNote(const QString &path)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        QFile note(path);
        if (note.open(QIODevice::ReadOnly)) {
            const QByteArray text = note.readAll();
            if (text.endsWith('\n'))
                return text.trimmed().toDouble();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}
