// The transaction record: its JSON body, its type names and its log form.
#include "Backend/Transaction.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <ctime>

using Backend::Transaction;

class TstTransaction : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A fixed zone two hours east of UTC, without daylight saving.
        qputenv("TZ", "XXX-2");
        tzset();
    }

    void json_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("errorDetails");
        QTest::addColumn<QString>("typeText");
        QTest::addColumn<QJsonValue>("sentDetails");
        QTest::newRow("issuance hides details") << 0 << "boom" << "ISSUANCE" << QJsonValue(QJsonValue::Null);
        QTest::newRow("scan") << 1 << "" << "SCAN" << QJsonValue(QJsonValue::Null);
        QTest::newRow("collection") << 2 << "x" << "COLLECTION" << QJsonValue(QJsonValue::Null);
        QTest::newRow("error report") << 3 << "Card jammed" << "ERROR_REPORT" << QJsonValue("Card jammed");
        QTest::newRow("empty error report") << 3 << "" << "ERROR_REPORT" << QJsonValue("");
        QTest::newRow("unknown type") << 7 << "" << "" << QJsonValue(QJsonValue::Null);
    }

    void json()
    {
        QFETCH(int, type);
        QFETCH(QString, errorDetails);
        QFETCH(QString, typeText);
        QFETCH(QJsonValue, sentDetails);
        Transaction t;
        t.setType(Transaction::Type(type));
        t.setTimestamp(QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0, 250), Qt::LocalTime));
        t.setDeviceSerial("DEV-1");
        t.setCardUid("04A1B2");
        t.setUuid("9f0c-uuid");
        t.setZuruvDbId("9f0c-uuid");
        t.setErrorDetails(errorDetails);

        const QJsonObject expected{{"type", typeText},
                                   {"timestamp", "2024-05-01T08:00:00Z"}, // sent in UTC
                                   {"deviceSerial", "DEV-1"},
                                   {"cardUid", "04A1B2"},
                                   {"transactionUid", "9f0c-uuid"},
                                   {"zuruvDbRecordId", "9f0c-uuid"},
                                   {"errorDetails", sentDetails}};
        QCOMPARE(t.toJson(), expected);
        QCOMPARE(t.toString(), QString("9f0c-uuid (type=%1, cardUid=04A1B2, created=2024-05-01T10:00:00)")
                                   .arg(expected["type"].toString()));
    }

    void typesAndCreation()
    {
        QCOMPARE(Transaction::strToType("SCAN"), Transaction::Scan);
        QCOMPARE(Transaction::strToType("scan"), Transaction::Issuance);
        QCOMPARE(Transaction::strToType("ERROR_REPORT"), Transaction::ErrorReport);
        QCOMPARE(Transaction::strToType(""), Transaction::Issuance);

        const Transaction fresh;
        QCOMPARE(fresh.type(), Transaction::Issuance);
        QCOMPARE(fresh.sendDetails().status, QString("PENDING"));
        QVERIFY(!fresh.sendDetails().date.isValid() && !fresh.sendDetails().schedDate.isValid());
        QCOMPARE(fresh.toJson()["timestamp"].toString(), QString(""));

        const Transaction::Ptr t = Transaction::create(Transaction::ErrorReport, "DEV-1", "04", "jam");
        QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                    .match(t->uuid()).hasMatch());
        QVERIFY(t->uuid() != Transaction::create(Transaction::Scan, "", "")->uuid());
        QCOMPARE(t->zuruvDbId(), QString("0"));
        QVERIFY(qAbs(t->timestamp().secsTo(QDateTime::currentDateTime())) < 60);
    }
};

QTEST_GUILESS_MAIN(TstTransaction)
#include "tst_transaction.moc"
