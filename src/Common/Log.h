#pragma once
// The one way a class writes a log line: its own prefix (for example "[Terminal] " or
// "[Network][Ethernet] ", blank included), then the parts concatenated as they are, with
// no quoting and no blanks inserted between them. Warnings carry "WARN: " after the
// prefix, errors "ERROR: "; `critical` and `warning` write at the error or warning level
// without the word, for the few lines that are given that way.
//
//   static const Log log("[RFID] ");
//   log.warn("RF disabled. Clearing active card");        // [RFID] WARN: RF disabled. ...
//   log.info("State changed : (", int(state), ") ", name); // parts as they come
//
// Text that comes from outside (a peer's answer or post, a payload, card data) goes in
// through Log::outside, so that it cannot start a line of its own nor fill the log:
//   log.info("Received post message : ", Log::outside(body));
//
// A line of a level the logging rules switch off is not even put together.
#include <QByteArray>
#include <QDebug>
#include <QLoggingCategory>
#include <QString>

class Log
{
public:
    constexpr explicit Log(const char *prefix = "") : m_prefix(prefix) {}

    const char *prefix() const { return m_prefix; }

    // How much of a text from outside one line shows, in bytes.
    static constexpr int OutsideLimit = 2048;
    // The text as it may be logged: control characters (line breaks included) written as
    // escapes ("\n", "\x1b", "\u2028"), and a text longer than the limit cut there and
    // followed by its full size ("… (16777264 bytes)"). Bytes are read as UTF-8.
    static QString outside(const QByteArray &bytes, int limit = OutsideLimit);
    static QString outside(const QString &text, int limit = OutsideLimit);
    // Whether debug lines are written at all (to spare building costly ones).
    static bool debugEnabled();

    template<typename... Parts>
    void debug(const Parts &...parts) const
    {
        if (enabled(QtDebugMsg))
            write(qDebug(), nullptr, parts...);
    }
    template<typename... Parts>
    void info(const Parts &...parts) const
    {
        if (enabled(QtInfoMsg))
            write(qInfo(), nullptr, parts...);
    }
    template<typename... Parts>
    void warn(const Parts &...parts) const
    {
        if (enabled(QtWarningMsg))
            write(qWarning(), "WARN: ", parts...);
    }
    template<typename... Parts>
    void warning(const Parts &...parts) const
    {
        if (enabled(QtWarningMsg))
            write(qWarning(), nullptr, parts...);
    }
    template<typename... Parts>
    void error(const Parts &...parts) const
    {
        if (enabled(QtCriticalMsg))
            write(qCritical(), "ERROR: ", parts...);
    }
    template<typename... Parts>
    void critical(const Parts &...parts) const
    {
        if (enabled(QtCriticalMsg))
            write(qCritical(), nullptr, parts...);
    }

private:
    // As the framework decides for the default category (enabled when it is gone, at exit).
    static bool enabled(QtMsgType type)
    {
        const QLoggingCategory *category = QLoggingCategory::defaultCategory();
        return !category || category->isEnabled(type);
    }

    template<typename... Parts>
    void write(QDebug stream, const char *word, const Parts &...parts) const
    {
        stream.noquote().nospace() << m_prefix;
        if (word)
            stream << word;
        (stream << ... << parts);
    }

    const char *m_prefix;
};
