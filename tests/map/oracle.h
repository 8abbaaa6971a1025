// Command-line tools of PROJ and GDAL run as independent oracles.
#pragma once

#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>

namespace test {

// The words `tool` prints for `input`; empty when it is not installed. Through popen rather than
// QProcess, whose clone-based start ThreadSanitizer cannot follow.
inline QStringList oracle(const QString &tool, const QStringList &args, const QByteArray &input) {
    if (QStandardPaths::findExecutable(tool).isEmpty()) return {};
    QStringList quoted;
    for (const QString &arg : args)
        quoted << QLatin1Char('\'') + arg + QLatin1Char('\'');
    const QString command = QStringLiteral("printf '%s' '%1' | %2 %3")
                                .arg(QString::fromLatin1(input), tool, quoted.join(' '));
    FILE *pipe = popen(command.toLocal8Bit().constData(), "r");
    if (!pipe) return {};
    QByteArray output;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, qsizetype(n));
    pclose(pipe);
    return QString::fromUtf8(output).split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
}

}  // namespace test
