#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The words of one command: options that take a value ("--to <folder>", the
// value in the next word), options that stand alone ("--full"), and the
// other words in their order. An option given twice keeps every value.
class CommandWords
{
public:
    CommandWords(const QStringList &arguments, const QStringList &valueOptions, const QStringList &flags);

    // What cannot be read: an unknown option, or one without its value. Empty when all is well.
    QString problem() const { return readProblem; }
    QString value(const QString &option) const { return given.value(option).value(0); }
    QStringList values(const QString &option) const { return given.value(option); }
    bool has(const QString &option) const { return given.contains(option); }
    const QStringList &positional() const { return others; }

private:
    QMap<QString, QStringList> given;
    QStringList others;
    QString readProblem;
};
