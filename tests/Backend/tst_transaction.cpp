// The transaction record: its JSON body, its type names and its log form.
#include "Backend/Transaction.h"

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
        qputenv("TZ", "XXX-2"); // two hours east of UTC, no daylight saving
        tzset();
    }

    void json_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("details");
        QTest::addColumn<QString>("typeText");
        QTest::addColumn<QJsonValue>("sentDetails");
        const QJsonValue null(QJsonValue::Null);
        QTest::newRow("issuance hides details") << 0 << "boom" << "ISSUANCE" << null;
        QTest::newRow("scan") << 1 << "" << "SCAN" << null;
        QTest::newRow("collection") << 2 << "x" << "COLLECTION" << null;
        QTest::newRow("error report") << 3 << "Card jammed" << "ERROR_REPORT" << QJsonValue("Card jammed");
        QTest::newRow("empty error report") << 3 << "" << "ERROR_REPORT" << QJsonValue("");
        QTest::newRow("unknown type") << 7 << "" << "" << null;
    }

    void json()
    {
        QFETCH(int, type);
        QFETCH(QString, details);
        QFETCH(QString, typeText);
        QFETCH(QJsonValue, sentDetails);
        Transaction t;
        t.setType(Transaction::Type(type));
        t.setTimestamp(QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0, 250), Qt::LocalTime));
        t.setDeviceSerial("DEV-1");
        t.setCardUid("04A1B2");
        t.setUuid("9f0c");
        t.setZuruvDbId("z-9f0c");
        t.setErrorDetails(details);
        QCOMPARE(t.toJson(), QJsonObject({{"type", typeText}, {"timestamp", "2024-05-01T08:00:00Z"},
                                          {"deviceSerial", "DEV-1"}, {"cardUid", "04A1B2"},
                                          {"transactionUid", "9f0c"}, {"zuruvDbRecordId", "z-9f0c"},
                                          {"errorDetails", sentDetails}}));
        QCOMPARE(t.toString(), "9f0c (type=" + typeText + ", cardUid=04A1B2, created=2024-05-01T10:00:00)");
    }

    void typesAndCreation()
    {
        QCOMPARE(Transaction::strToType("SCAN"), Transaction::Scan);
        QCOMPARE(Transaction::strToType("scan"), Transaction::Issuance);
        QCOMPARE(Transaction::strToType("ERROR_REPORT"), Transaction::ErrorReport);

        const Transaction fresh;
        QVERIFY(fresh.sendDetails().status == Transaction::SendStatus::Pending);
        QCOMPARE(fresh.toJson()["timestamp"].toString(), QString(""));

        const Transaction::Ptr t = Transaction::create(Transaction::ErrorReport, "DEV-1", "04", "jam");
        QVERIFY(QRegularExpression("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$").match(t->uuid()).hasMatch());
        QVERIFY(t->uuid() != Transaction::create(Transaction::Scan, "", "")->uuid());
        QCOMPARE(t->zuruvDbId(), QString("0"));
    }
};

QTEST_GUILESS_MAIN(TstTransaction)
#include "tst_transaction.moc"
