#pragma once
// Small shared helpers: fill level names, text and date conversions to and from JSON, a
// bell-shaped random number, and waiting for one emission of a signal.
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class Utils
{
public:
    Utils() = delete;

    // "EMPTY" (9 % or below), "LOW", "OK", "ALMOST_FULL", "FULL" (90 % or above).
    static QString levelToStr(int percent);
    // An empty text gives JSON null, any other text a JSON string.
    static QJsonValue strToJson(const QString &text);
    // A null date-time gives JSON null, any other its ISO 8601 text.
    static QJsonValue dateToJson(const QDateTime &time);
    // As time.toString(Qt::ISODate), written directly for local and UTC times of the years
    // 1000 to 9999 (Qt's formatter costs several times more).
    static QString isoText(const QDateTime &time);
    // "yyyy-MM-ddTHH:mm:ss" of the time as it is (no conversion), written directly for the
    // years 1000 to 9999 (the general formatter goes through the locale).
    static QString dateTimeText(const QDateTime &time);
    // A JSON value as one line of text for the log: objects and arrays compact, any
    // other value as its plain text (null as "").
    static QString jsonToText(const QJsonValue &value);
    // JSON text from outside parsed as QJsonDocument::fromJson does, except that a text in
    // which an object repeats a name is refused (an illegal value at that name): Qt's
    // parser leaks the earlier value of a repeated name, which a peer could do at will.
    // Names compare as the parser compares them: unescaped, up to a NUL character.
    static QJsonDocument parseJson(const QByteArray &text, QJsonParseError *error = nullptr);
    // Normally distributed around the middle of [min, max] (six standard deviations
    // wide), rounded and kept within the bounds; min when max is not above min.
    static int random(int min, int max);
    // Seconds as a timer interval in milliseconds, computed in 64 bits and clamped to
    // what a timer holds; 0 or less stays 0 (no time-out).
    static int secondsToMsec(int seconds);
    // Whether the text is a server's address: an http or https URL with a host.
    static bool isServerUrl(const QString &text);
    // The file's identity and last change (device, inode, size, modification and change
    // times): it differs once the file is written or replaced. Empty when there is no file.
    static QByteArray fileStamp(const QString &path);

    // Resolves at the next emission of signal by object; rejected (no values) when
    // ms milliseconds pass first. ms 0 or below waits without limit. Settles once.
    template<typename T, typename S>
    static Deferred<> waitSignal(T *object, S signal, int ms)
    {
        Deferred<> result;
        QTimer *timer = new QTimer(object);
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = QObject::connect(
            object, signal, object,
            [result, timer, connection]() {
                QObject::disconnect(*connection);
                timer->stop();
                timer->deleteLater();
                result.resolve();
            },
            Qt::AutoConnection);
        QObject::connect(timer, &QTimer::timeout, object, [result, timer, connection]() {
            QObject::disconnect(*connection);
            timer->deleteLater();
            result.reject();
        });
        if (ms > 0) {
            timer->setSingleShot(true);
            timer->setInterval(ms);
            timer->start();
        }
        return result;
    }
};
