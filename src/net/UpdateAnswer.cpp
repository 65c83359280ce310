#include "net/UpdateAnswer.h"

#include <QRegularExpression>
#include <QUrl>

UpdateAnswer UpdateAnswer::Parse(const QByteArray& body)
{
    UpdateAnswer answer;
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
    const QStringList lines = QString::fromUtf8(body).split(lineBreak);
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString name = line.left(eq).toLower();
        if (!answer.m_values.contains(name))
            answer.m_values.insert(name, line.mid(eq + 1));
    }
    return answer;
}

bool UpdateAnswer::IsWebAddress(const QString& text)
{
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) &&
        !text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return false;
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
    }
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty();
}
