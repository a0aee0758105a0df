#pragma once
// One lane event for the card back office (a card issued, a card scanned, a failed
// passage), with its own send bookkeeping. Shared as Transaction::Ptr.
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QSharedPointer>
#include <QString>

namespace Backend {

class Transaction : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Transaction)
    Q_PROPERTY(Type type READ type)
    Q_PROPERTY(QDateTime timestamp READ timestamp)
    Q_PROPERTY(QString deviceSerial READ deviceSerial)
    Q_PROPERTY(QString cardUid READ cardUid)
    Q_PROPERTY(QString uuid READ uuid)
    Q_PROPERTY(QString zuruvDbId READ zuruvDbId)
    Q_PROPERTY(QString errorDetails READ errorDetails)

public:
    using Ptr = QSharedPointer<Transaction>;

    // Fixed integer base: a value outside the table (sent with an empty type) stays defined.
    enum Type : int { Issuance = 0, Scan = 1, Collection = 2, ErrorReport = 3 };
    Q_ENUM(Type)

    // How the record is being sent: Pending until the back office accepts it (Ok) or
    // refuses it for good (Failed).
    enum class SendStatus { Pending, Ok, Failed };
    // The texts by which they are stored: "PENDING", "OK", "FAILED".
    static QString statusText(SendStatus status);
    // Pending for a text that names none.
    static SendStatus statusFromText(const QString &text);

    struct SendDetails
    {
        SendStatus status = SendStatus::Pending;
        QDateTime date;      // last attempt; invalid before the first
        QDateTime schedDate; // next attempt due; invalid once final
        int attempts = 0;
        int respStatus = 0;  // HTTP status of the last answer, 0 when none came
        QJsonObject respData;
    };

    // What the lane noted of a passage while its transaction was held, before it acted on it:
    // the lane and the step the passage stood at, and the facts that decide whether the
    // passage may still open its barrier once it is taken up again. Stored with the held row,
    // never sent. A row stored before these were noted reads with an empty step.
    struct Journal
    {
        QString lane;             // the terminal type that ran the passage
        QString step;             // the session state it stood at
        bool openSent = false;    // an open command written down before it went out
        bool boomOpened = false;  // the boom seen open for it
        bool vehicleLeft = false; // its vehicle seen leaving the loop
        bool cardReturn = false;  // the service bus said to hand the card back

        bool known() const { return !step.isEmpty(); }
        // The stored text: compact JSON; an empty text for a journal not known.
        QString toText() const;
        static Journal fromText(const QString &text);
    };

    // The texts by which the types are stored and sent.
    static const QMap<Type, QString> TransactionTypes;

    explicit Transaction(QObject *parent = nullptr);

    Type type() const { return m_type; }
    QDateTime timestamp() const { return m_timestamp; }
    QString deviceSerial() const { return m_deviceSerial; }
    QString cardUid() const { return m_cardUid; }
    QString uuid() const { return m_uuid; }
    QString zuruvDbId() const { return m_zuruvDbId; }
    QString errorDetails() const { return m_errorDetails; }
    Journal &journal() { return m_journal; }
    const Journal &journal() const { return m_journal; }
    SendDetails &sendDetails() { return m_sendDetails; }
    const SendDetails &sendDetails() const { return m_sendDetails; }

    void setType(Type type);
    void setTimestamp(const QDateTime &timestamp);
    void setDeviceSerial(const QString &deviceSerial);
    void setCardUid(const QString &cardUid);
    void setUuid(const QString &uuid);
    void setZuruvDbId(const QString &zuruvDbId);
    void setErrorDetails(const QString &errorDetails);

    static QString typeToStr(Type type);
    // Exact (case-sensitive) match; Issuance for any other text.
    static Type strToType(const QString &text);

    // The body of the transaction request.
    QJsonObject toJson() const;
    // One line for logs.
    QString toString() const;

    static QString createUid();
    static Ptr create(Type type, const QString &deviceSerial, const QString &cardUid,
                      const QString &errorDetails = QString());

private:
    Type m_type = Issuance;
    QDateTime m_timestamp;
    QString m_deviceSerial;
    QString m_cardUid;
    QString m_uuid;
    QString m_zuruvDbId;
    QString m_errorDetails;
    Journal m_journal;
    SendDetails m_sendDetails;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::Transaction::Ptr)
