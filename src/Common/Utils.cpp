#include "Common/Utils.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrl>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <sys/stat.h>

QString Utils::levelToStr(int percent)
{
    if (percent <= 9)
        return QStringLiteral("EMPTY");
    if (percent <= 24)
        return QStringLiteral("LOW");
    if (percent <= 74)
        return QStringLiteral("OK");
    if (percent <= 89)
        return QStringLiteral("ALMOST_FULL");
    return QStringLiteral("FULL");
}

QJsonValue Utils::strToJson(const QString &text)
{
    if (text.isEmpty())
        return QJsonValue(QJsonValue::Null);
    return QJsonValue(text);
}

QJsonValue Utils::dateToJson(const QDateTime &time)
{
    if (time.isNull())
        return QJsonValue(QJsonValue::Null);
    return QJsonValue(isoText(time));
}

QString Utils::isoText(const QDateTime &time)
{
    // Qt's ISO form: a local time bare, a UTC one with "Z", any other with its offset.
    const int year = time.date().year();
    const Qt::TimeSpec kind = time.timeSpec();
    if (year < 1000 || year > 9999 || (kind != Qt::LocalTime && kind != Qt::UTC) || !time.isValid())
        return time.toString(Qt::ISODate);
    return kind == Qt::UTC ? dateTimeText(time) + QLatin1Char('Z') : dateTimeText(time);
}

QString Utils::dateTimeText(const QDateTime &time)
{
    const QDate d = time.date();
    const QTime t = time.time();
    if (d.year() < 1000 || d.year() > 9999)
        return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    // Digit by digit: the printf-like formatter costs several times more.
    QChar out[19];
    const auto put = [&out](int at, int value, int digits) {
        for (int i = at + digits - 1; i >= at; --i, value /= 10)
            out[i] = QLatin1Char(char('0' + value % 10));
    };
    put(0, d.year(), 4);
    out[4] = QLatin1Char('-');
    put(5, d.month(), 2);
    out[7] = QLatin1Char('-');
    put(8, d.day(), 2);
    out[10] = QLatin1Char('T');
    put(11, t.hour(), 2);
    out[13] = QLatin1Char(':');
    put(14, t.minute(), 2);
    out[16] = QLatin1Char(':');
    put(17, t.second(), 2);
    return QString(out, 19);
}

QString Utils::jsonToText(const QJsonValue &value)
{
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    return value.toVariant().toString();
}

namespace {

// The character of the escape that starts at text[*at] (a backslash); *at moves to its
// last byte.
QChar unescaped(const char *text, int size, int *at)
{
    const int i = *at + 1;
    if (i >= size)
        return QChar();
    *at = i;
    switch (text[i]) {
    case 'b': return QLatin1Char('\b');
    case 'f': return QLatin1Char('\f');
    case 'n': return QLatin1Char('\n');
    case 'r': return QLatin1Char('\r');
    case 't': return QLatin1Char('\t');
    case 'u': {
        bool ok = false;
        const ushort code = QByteArray(text + i + 1, qMin(4, size - i - 1)).toUShort(&ok, 16);
        *at = qMin(size - 1, i + 4);
        return ok ? QChar(code) : QChar();
    }
    default: return QChar::fromLatin1(text[i]);
    }
}

// The offset of the first name that an object of the text repeats, or -1.
int repeatedName(const QByteArray &text)
{
    struct Level
    {
        bool object;
        bool expectName;
        QSet<QString> names;
    };
    QVector<Level> stack;
    const char *p = text.constData();
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const char c = p[i];
        if (c == '{' || c == '[') {
            stack.append({c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !stack.isEmpty()) {
            stack.removeLast();
        } else if (c == ',' && !stack.isEmpty() && stack.last().object) {
            stack.last().expectName = true;
        } else if (c == '"') {
            const bool isName = !stack.isEmpty() && stack.last().object && stack.last().expectName;
            const int start = i;
            QString name;
            int run = i + 1;
            int j = i + 1;
            for (; j < n && p[j] != '"'; ++j) {
                if (p[j] != '\\')
                    continue;
                name += QString::fromUtf8(p + run, j - run);
                name += unescaped(p, n, &j);
                run = j + 1;
            }
            i = j;
            if (!isName)
                continue;
            name += QString::fromUtf8(p + run, qMax(0, qMin(j, n) - run));
            const int nul = name.indexOf(QChar(0));
            if (nul >= 0)
                name.truncate(nul);
            Level &level = stack.last();
            if (level.names.contains(name))
                return start;
            level.names.insert(name);
            level.expectName = false;
        }
    }
    return -1;
}

} // namespace

QJsonDocument Utils::parseJson(const QByteArray &text, QJsonParseError *error)
{
    // Looked for before the parser runs (only where it could meet a name at all).
    const int repeated = text.contains('{') ? repeatedName(text) : -1;
    if (repeated >= 0) {
        if (error) {
            error->error = QJsonParseError::IllegalValue;
            error->offset = repeated;
        }
        return QJsonDocument();
    }
    return QJsonDocument::fromJson(text, error);
}

int Utils::random(int min, int max)
{
    if (max <= min)
        return min;
    static std::mt19937 generator([] {
        std::random_device device;
        return device();
    }());
    const double mean = double(qint64(min) + qint64(max)) / 2.0;
    const double deviation = double(qint64(max) - qint64(min)) / 6.0;
    std::normal_distribution<double> distribution(mean, deviation);
    const double value = std::round(distribution(generator));
    return int(std::max(std::min(value, double(max)), double(min)));
}

bool Utils::isServerUrl(const QString &text)
{
    const QUrl url(text);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
           && !url.host().isEmpty();
}

QByteArray Utils::fileStamp(const QString &path)
{
    struct stat st;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    const qint64 fields[] = {qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec),
                             qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
    return QByteArray(reinterpret_cast<const char *>(fields), sizeof fields);
}

int Utils::secondsToMsec(int seconds)
{
    if (seconds <= 0)
        return 0;
    const qint64 msec = qint64(seconds) * 1000;
    return msec > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(msec);
}
