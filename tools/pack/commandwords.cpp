#include "commandwords.h"

CommandWords::CommandWords(const QStringList &arguments, const QStringList &valueOptions,
                           const QStringList &flags)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        if (valueOptions.contains(word)) {
            if (i + 1 == arguments.size()) {
                readProblem = QStringLiteral("%1 needs a value").arg(word);
                return;
            }
            given[word] << arguments.at(++i);
        } else if (flags.contains(word)) {
            given[word] << QString();
        } else if (word.startsWith(QLatin1String("--"))) {
            readProblem = QStringLiteral("unknown option %1").arg(word);
            return;
        } else {
            others << word;
        }
    }
}
