#include "Common/Utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

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
    return QJsonValue(time.toString(Qt::ISODate));
}

QString Utils::jsonToText(const QJsonValue &value)
{
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    return value.toVariant().toString();
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

int Utils::secondsToMsec(int seconds)
{
    if (seconds <= 0)
        return 0;
    const qint64 msec = qint64(seconds) * 1000;
    return msec > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(msec);
}
