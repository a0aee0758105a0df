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
//
// Each class's lines belong to a logging category of its area, named where its Log is:
//   ZUKA_LOG_CATEGORY(rfidLog, "managers.rfid")             // "zuka.managers.rfid"
//   const Log log("[RFID] ", rfidLog);
// The log level is the rule for every category; QT_LOGGING_RULES adds to it, e.g.
// "zuka.managers.rfid.debug=true" for one device's debug lines, "zuka.managers.*.debug=true"
// for a whole area's. The lines read the same whatever their category (the logger writes
// them as lines of the default one). Until the process-wide logger is installed (the
// command line's and the configuration's first lines), every line is one of the default
// category, which the framework's own output writes without a category name.
#include <QByteArray>
#include <QDebug>
#include <QLoggingCategory>
#include <QString>

#include <atomic>
#include <type_traits>

// The first part of the name of every category of the system's own.
#define ZUKA_LOG_CATEGORY_ROOT "zuka."

// Defines the function `name` of the category "zuka.<id>". The category lives as long as
// the process, so that a line written at exit still finds it.
#define ZUKA_LOG_CATEGORY(name, id)                                                              \
    const QLoggingCategory &name()                                                               \
    {                                                                                            \
        static const QLoggingCategory *const category = new QLoggingCategory(ZUKA_LOG_CATEGORY_ROOT id); \
        return *category;                                                                        \
    }

class Log
{
public:
    using Category = const QLoggingCategory &(*)();
    static constexpr const char CategoryRoot[] = ZUKA_LOG_CATEGORY_ROOT;

    // Without a category, the lines go to the framework's default one.
    constexpr explicit Log(const char *prefix = "", Category category = nullptr)
        : m_prefix(prefix)
        , m_category(category)
    {
    }

    const char *prefix() const { return m_prefix; }

    // From now on each line is written or not as its own category decides (called by the
    // process-wide logger when it installs itself).
    static void useCategories() { s_categories.store(true, std::memory_order_relaxed); }

    // How much of a text from outside one line shows, in bytes.
    static constexpr int OutsideLimit = 2048;
    // The text as it may be logged: control characters (line breaks included) written as
    // escapes ("\n", "\x1b", "\u2028"), and a text longer than the limit cut there and
    // followed by its full size ("… (16777264 bytes)"). Bytes are read as UTF-8.
    static QString outside(const QByteArray &bytes, int limit = OutsideLimit);
    static QString outside(const QString &text, int limit = OutsideLimit);
    // Whether this log's debug lines are written at all (to spare building costly ones).
    bool debugEnabled() const { return enabled(QtDebugMsg); }

    template<typename... Parts>
    void debug(const Parts &...parts) const
    {
        if (enabled(QtDebugMsg))
            write(QtDebugMsg, nullptr, parts...);
    }
    template<typename... Parts>
    void info(const Parts &...parts) const
    {
        if (enabled(QtInfoMsg))
            write(QtInfoMsg, nullptr, parts...);
    }
    template<typename... Parts>
    void warn(const Parts &...parts) const
    {
        if (enabled(QtWarningMsg))
            write(QtWarningMsg, "WARN: ", parts...);
    }
    template<typename... Parts>
    void warning(const Parts &...parts) const
    {
        if (enabled(QtWarningMsg))
            write(QtWarningMsg, nullptr, parts...);
    }
    template<typename... Parts>
    void error(const Parts &...parts) const
    {
        if (enabled(QtCriticalMsg))
            write(QtCriticalMsg, "ERROR: ", parts...);
    }
    template<typename... Parts>
    void critical(const Parts &...parts) const
    {
        if (enabled(QtCriticalMsg))
            write(QtCriticalMsg, nullptr, parts...);
    }

private:
    // A part as the framework's debug stream writes it without quotes or blanks; texts,
    // whole numbers and truth values directly, the rest through the stream.
    template<typename T>
    static void append(QString &line, const T &part)
    {
        using D = std::decay_t<T>;
        if constexpr (std::is_same_v<D, const char *> || std::is_same_v<D, char *>)
            line += QString::fromUtf8(part);
        else if constexpr (std::is_same_v<D, QString>)
            line += part;
        else if constexpr (std::is_same_v<D, bool>)
            line += part ? QLatin1String("true") : QLatin1String("false");
        else if constexpr (std::is_same_v<D, int> || std::is_same_v<D, unsigned> || std::is_same_v<D, long>
                           || std::is_same_v<D, unsigned long> || std::is_same_v<D, long long>
                           || std::is_same_v<D, unsigned long long>)
            line += QString::number(part);
        else
            QDebug(&line).noquote().nospace() << part;
    }

    // Whether the lines go under this log's category rather than the default one.
    bool ownCategory() const { return m_category && s_categories.load(std::memory_order_relaxed); }

    // As the framework decides for the category (the default one: enabled when it is gone,
    // at exit).
    bool enabled(QtMsgType type) const
    {
        if (ownCategory())
            return m_category().isEnabled(type);
        const QLoggingCategory *category = QLoggingCategory::defaultCategory();
        return !category || category->isEnabled(type);
    }

    // The line goes to the framework's message output, as its debug stream would hand it.
    template<typename... Parts>
    void write(QtMsgType type, const char *word, const Parts &...parts) const
    {
        QString line = QString::fromUtf8(m_prefix);
        if (word)
            line += QLatin1String(word);
        (append(line, parts), ...);
        const QMessageLogContext context(nullptr, 0, nullptr, ownCategory() ? m_category().categoryName() : "default");
        qt_message_output(type, context, line);
    }

    static inline std::atomic<bool> s_categories{false};

    const char *m_prefix;
    Category m_category;
};
