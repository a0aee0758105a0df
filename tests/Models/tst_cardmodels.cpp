// Tags, cards, the card format and the validator records: JSON forms and signals.
#include "Models/Card.h"
#include "Models/SAM.h"
#include "Models/Tag.h"
#include "Models/ValidatorRfid.h"
#include "Models/ZUKAv1Card.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <ctime>
#include <limits>

namespace {
QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
QJsonObject parse(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// A template whose content is whatever was last set.
class PlainCard : public Card
{
public:
    QJsonObject data() const override { return m_data; }
    void setData(const QJsonObject &data) override { m_data = data; }
    QJsonObject m_data;
};

const QByteArray TwoEntryCard =
    R"({"uid":"04A1B2C3","type":4,"template":"ZUKAv1","data":{"info":{"version":0,"customsId":1203,"status":"active"},)"
    R"("usageCounter":2,"usageLog":[)"
    R"({"timestamp":"2026-01-02T03:04:05","type":"entry","usageCounter":0,"deviceId":"T-01","locationId":"L-7"},)"
    R"({"timestamp":"2026-12-06T09:05:07","type":"exit","usageCounter":1,"deviceId":"T-02","locationId":"L-8"}]}})";
}

class TestCardModels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A fixed zone with summer time, so local/UTC conversions are checked for real.
        qputenv("TZ", "Europe/Athens");
        tzset();
    }

    void tagJson()
    {
        auto empty = Tag::fromJson(QJsonObject());
        QCOMPARE(empty->uid(), QString());
        QCOMPARE(empty->type(), Tag::Unknown);
        QCOMPARE(compact(empty->toJson()), QByteArray(R"({"type":0,"uid":""})"));

        // The type travels as a number; a text "4" is not a type.
        QCOMPARE(Tag::fromJson(parse(R"({"uid":"x","type":"4"})"))->type(), Tag::Unknown);
        QCOMPARE(Tag::fromJson(parse(R"({"uid":12,"type":4.5})"))->uid(), QString());
        QCOMPARE(Tag::fromJson(parse(R"({"uid":"x","type":4.5})"))->type(), Tag::Unknown);
        Tag ultralight(QStringLiteral("04:AA"), Tag::MifareUltralight);
        QCOMPARE(compact(ultralight.toJson()), QByteArray(R"({"type":64,"uid":"04:AA"})"));

        // Any number the service sends is held and written back unchanged.
        for (const QByteArray &text : {QByteArray(R"({"type":1024,"uid":"a"})"), QByteArray(R"({"type":70000,"uid":"a"})"),
                                       QByteArray(R"({"type":-3,"uid":"a"})"), QByteArray(R"({"type":2147483647,"uid":"a"})")}) {
            QCOMPARE(compact(Tag::fromJson(parse(text))->toJson()), text);
        }
        // Beyond 32 bits is not a number of the protocol.
        QCOMPARE(Tag::fromJson(parse(R"({"uid":"a","type":4294967300})"))->type(), Tag::Unknown);
    }

    void tagTypeNames()
    {
        QCOMPARE(Tag::typeToStr(Tag::Type(4)), QStringLiteral("MIFARE Classic 1K"));
        QCOMPARE(Tag::typeToStr(Tag::Type(256)), QStringLiteral("MIFARE DESFire"));
        QCOMPARE(Tag::typeToStr(Tag::Type(32768)), QStringLiteral("Other"));
        QCOMPARE(Tag::typeToStr(Tag::Type(1)), QStringLiteral("ISO14443-4A"));
        for (int v : {0, 3, 5, 1024, 70000, -1})
            QCOMPARE(Tag::typeToStr(Tag::Type(v)), QStringLiteral("Unknown"));
    }

    void checkedCardCast()
    {
        QVERIFY(Card::cast(Tag::Ptr()).isNull());
        QVERIFY(Card::cast(Tag::Ptr::create(QStringLiteral("04"), Tag::MifareClassic1K)).isNull());
        Tag::Ptr asTag = ZUKAv1Card::fromJson(parse(TwoEntryCard));
        Card::Ptr card = Card::cast(asTag);
        QVERIFY(card);
        QCOMPARE(card->name(), QStringLiteral("ZUKAv1"));
        QCOMPARE(card.data(), static_cast<Card *>(static_cast<ZUKAv1Card *>(asTag.data())));
        // Both pointer types can travel through QVariant (signals, QML).
        QVERIFY(QMetaType::type("Tag::Ptr") != QMetaType::UnknownType);
        QVERIFY(QMetaType::type("Card::Ptr") != QMetaType::UnknownType);
        QCOMPARE(QVariant::fromValue(asTag).value<Tag::Ptr>(), asTag);
    }

    void cardJsonForm()
    {
        PlainCard card;
        QCOMPARE(compact(card.toJson()), QByteArray(R"({"data":null,"template":"","type":0,"uid":""})"));
        card.setName(QStringLiteral("Other"));
        card.setUid(QStringLiteral("u1"));
        card.setType(Tag::MifareDesfire);
        card.setData(parse(R"({"a":1})"));
        QCOMPARE(compact(card.toJson()), QByteArray(R"({"data":{"a":1},"template":"Other","type":256,"uid":"u1"})"));

        ZUKAv1Card fresh;
        QCOMPARE(fresh.name(), QStringLiteral("ZUKAv1"));
        QCOMPARE(compact(fresh.data()),
                 QByteArray(R"({"info":{"customsId":0,"status":"available","version":0},"usageCounter":0,"usageLog":[]})"));
        QCOMPARE(compact(fresh.toJson()),
                 QByteArray(R"({"data":{"info":{"customsId":0,"status":"available","version":0},"usageCounter":0,"usageLog":[]},)"
                            R"("template":"ZUKAv1","type":0,"uid":""})"));
    }

    void cardReadKeepsEntriesApart()
    {
        auto card = ZUKAv1Card::fromJson(parse(TwoEntryCard));
        QCOMPARE(card->uid(), QStringLiteral("04A1B2C3"));
        QCOMPARE(card->type(), Tag::MifareClassic1K);
        QCOMPARE(card->customsId(), 1203);
        QCOMPARE(card->status(), QStringLiteral("active"));
        QCOMPARE(card->usageCounter(), 2);
        QCOMPARE(card->usageLogs().size(), 2);
        QVERIFY(card->lastUsage());
        QCOMPARE(card->lastUsage(), &card->usageLogs().at(1));
        QCOMPARE(card->lastUsage()->type, QStringLiteral("exit"));
        QCOMPARE(card->lastUsage()->timestamp, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7), Qt::LocalTime));

        // Read entries are never sent again; only what the lane adds is written.
        card->addUsageLog(QStringLiteral("exit"), QStringLiteral("T-09"), QStringLiteral("L-1"));
        card->incrUsageCounter(1);
        const QJsonObject data = card->data();
        QCOMPARE(data.value("usageCounter").toInt(), 3);
        const QJsonArray log = data.value("usageLog").toArray();
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.at(0).toObject().value("usageCounter").toInt(), 2);
        QCOMPARE(log.at(0).toObject().value("deviceId").toString(), QStringLiteral("T-09"));
        QCOMPARE(card->usageLogs().size(), 2);

        // Reading twice appends twice.
        card->setData(parse(TwoEntryCard).value("data").toObject());
        QCOMPARE(card->usageLogs().size(), 4);

        // Another template name is taken over as it stands.
        QJsonObject other = parse(TwoEntryCard);
        other.insert("template", "ZUKAv2");
        QCOMPARE(ZUKAv1Card::fromJson(other)->name(), QStringLiteral("ZUKAv2"));
    }

    void cardSparseContent()
    {
        auto card = ZUKAv1Card::fromJson(parse(R"({"uid":"a","data":{"usageCounter":7}})"));
        QCOMPARE(card->status(), QString());
        QCOMPARE(card->customsId(), 0);
        QCOMPARE(card->usageCounter(), 7);
        QCOMPARE(card->name(), QString());
        QVERIFY(card->lastUsage() == nullptr);
        card->addUsageLog(QStringLiteral("entry"), QStringLiteral("d"), QStringLiteral("l"));
        QVERIFY(card->lastUsage() == nullptr);

        auto noData = ZUKAv1Card::fromJson(parse(R"({"uid":"a","type":4,"template":"ZUKAv1","data":[1,2]})"));
        QCOMPARE(noData->usageCounter(), 0);
        QVERIFY(noData->lastUsage() == nullptr);

        // Unreadable entry fields give empty values, not garbage.
        auto bad = ZUKAv1Card::fromJson(parse(
            R"({"data":{"usageLog":[{"timestamp":"2026-12-06 09:05:07","usageCounter":"3"},{"timestamp":"2026-12-06T09:05:07.250"},5]}})"));
        QCOMPARE(bad->usageLogs().size(), 3);
        QVERIFY(!bad->usageLogs().at(0).timestamp.isValid());
        QCOMPARE(bad->usageLogs().at(0).usageCounter, 0);
        QVERIFY(!bad->usageLogs().at(1).timestamp.isValid());
        QCOMPARE(bad->usageLogs().at(2).type, QString());
    }

    void newCardFirstEntry()
    {
        ZUKAv1Card card;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        card.addUsageLog(QStringLiteral("entry"), QStringLiteral("T-01"), QStringLiteral("L-7"));
        card.incrUsageCounter(1);
        const QJsonObject data = card.data();
        QCOMPARE(data.value("usageCounter").toInt(), 1);
        const QJsonObject entry = data.value("usageLog").toArray().at(0).toObject();
        QCOMPARE(entry.value("usageCounter").toInt(), 0);
        QCOMPARE(entry.value("type").toString(), QStringLiteral("entry"));
        const QString stamp = entry.value("timestamp").toString();
        QVERIFY2(QRegExp("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}").exactMatch(stamp), qPrintable(stamp));
        QVERIFY(QDateTime::fromString(stamp, ZUKAv1Card::TimestampFormat) >= before);
    }

    void usageRoundTrip()
    {
        ZUKAv1Card::_Usage usage;
        usage.type = QStringLiteral("exit");
        usage.deviceId = QStringLiteral("T-02");
        usage.locationId = QStringLiteral("L-8");
        usage.usageCounter = 41;
        usage.timestamp = QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7, 999), Qt::LocalTime);
        const QByteArray text = compact(usage.toJson());
        QCOMPARE(text, QByteArray(R"({"deviceId":"T-02","locationId":"L-8","timestamp":"2026-12-06T09:05:07","type":"exit","usageCounter":41})"));
        ZUKAv1Card::_Usage back;
        QCOMPARE(&back.fromJson(parse(text)), &back);
        QCOMPARE(back.timestamp, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7), Qt::LocalTime));
        QCOMPARE(compact(back.toJson()), text);

        // A time given in UTC is written as the local clock time it stands for (UTC+2 in winter, +3 in summer).
        usage.timestamp = QDateTime(QDate(2026, 12, 6), QTime(7, 5, 7), Qt::UTC);
        QCOMPARE(usage.toJson().value("timestamp").toString(), QStringLiteral("2026-12-06T09:05:07"));
        usage.timestamp = QDateTime(QDate(2026, 7, 1), QTime(23, 30, 0), Qt::UTC);
        QCOMPARE(usage.toJson().value("timestamp").toString(), QStringLiteral("2026-07-02T02:30:00"));
        QCOMPARE(back.fromJson(usage.toJson()).timestamp.toUTC(), usage.timestamp);
    }

    void cardWriteReadRoundTrip()
    {
        // What one terminal writes, the next reads back field for field.
        ZUKAv1Card written;
        written.setUid(QStringLiteral("04A1B2C3"));
        written.setType(Tag::MifareClassic4K);
        written.setCustomsId(1203);
        written.setStatus(QStringLiteral("active"));
        ZUKAv1Card::_Usage usage;
        usage.type = QStringLiteral("entry");
        usage.deviceId = QStringLiteral("T-01");
        usage.locationId = QStringLiteral("L-7");
        usage.timestamp = QDateTime(QDate(2026, 3, 29), QTime(4, 30, 0), Qt::LocalTime);
        usage.usageCounter = written.usageCounter();
        written.addUsageLog(usage);
        written.incrUsageCounter(1);

        const QByteArray text = compact(written.toJson());
        QCOMPARE(text, QByteArray(R"({"data":{"info":{"customsId":1203,"status":"active","version":0},"usageCounter":1,)"
                                  R"("usageLog":[{"deviceId":"T-01","locationId":"L-7","timestamp":"2026-03-29T04:30:00",)"
                                  R"("type":"entry","usageCounter":0}]},"template":"ZUKAv1","type":8,"uid":"04A1B2C3"})"));
        auto read = ZUKAv1Card::fromJson(parse(text));
        QCOMPARE(read->uid(), written.uid());
        QCOMPARE(read->type(), written.type());
        QCOMPARE(read->name(), written.name());
        QCOMPARE(read->customsId(), 1203);
        QCOMPARE(read->usageCounter(), 1);
        QCOMPARE(read->usageLogs().size(), 1);
        QCOMPARE(compact(read->usageLogs().at(0).toJson()), compact(usage.toJson()));
        QVERIFY(read->newUsageLogs().isEmpty());
    }

    void usageCounterSaturates()
    {
        ZUKAv1Card card;
        card.setData(parse(R"({"usageCounter":2147483646})"));
        card.incrUsageCounter(5);
        QCOMPARE(card.usageCounter(), std::numeric_limits<int>::max());
        card.incrUsageCounter(-3);
        QCOMPARE(card.usageCounter(), std::numeric_limits<int>::max() - 3);
    }

    void samRecord()
    {
        SAM sam;
        QSignalSpy slot(&sam, &SAM::slotChanged), production(&sam, &SAM::productionChanged),
            vendor(&sam, &SAM::vendorChanged), enabled(&sam, &SAM::enabledChanged);
        sam.fromJson(parse(R"({"slot":2,"production":"2025-13-01"})"));
        QCOMPARE(sam.slot(), 2);
        QVERIFY(sam.production().isNull());
        QCOMPARE(slot.count(), 1);
        QCOMPARE(production.count(), 0);

        const QJsonObject full = parse(R"({"slot":2,"enabled":true,"unlocked":true,"atr":"3B8F","batch":"B1","mode":"m",)"
                                       R"("name":"SAM-K2","production":"2025-02-28","uid":"u","vendor":"Semivo","version":"3"})");
        sam.fromJson(full);
        QCOMPARE(sam.production(), QDate(2025, 2, 28));
        QCOMPARE(sam.vendor(), QStringLiteral("Semivo"));
        QCOMPARE(slot.count(), 1);
        QCOMPARE(enabled.count(), 1);
        QCOMPARE(vendor.count(), 1);
        QSignalSpy any(&sam, &SAM::versionChanged);
        sam.fromJson(full);  // same values: silence
        QCOMPARE(vendor.count(), 1);
        QCOMPARE(production.count(), 1);
        QCOMPARE(any.count(), 0);

        sam.fromJson(QJsonObject());
        QCOMPARE(sam.vendor(), QString());
        QCOMPARE(sam.slot(), 0);
        QVERIFY(sam.production().isNull());
        QCOMPARE(vendor.count(), 2);
        QCOMPARE(production.count(), 2);
    }

    void validatorReports()
    {
        ValidatorRfid v;
        QSignalSpy state(&v, &ValidatorRfid::stateChanged), enabled(&v, &ValidatorRfid::enabledChanged),
            sam(&v, &ValidatorRfid::samChanged), slotSpy(&v, &ValidatorRfid::numberOfSlotsChanged),
            firmware(&v, &ValidatorRfid::firmwareChanged);

        v.fromJson(parse(R"({"model":"x","active":true})"));  // neither identity nor status
        QCOMPARE(state.count() + enabled.count() + sam.count() + slotSpy.count() + firmware.count(), 0);
        QCOMPARE(v.model(), QString());

        // Identity first, then status, from one object.
        QStringList order;
        connect(&v, &ValidatorRfid::firmwareChanged, this, [&] { order << "firmware"; });
        connect(&v, &ValidatorRfid::activeChanged, this, [&] { order << "active"; });
        v.fromJson(parse(R"({"firmware":"1.2","uid":"R1","version":"9","state":3,"active":true,"slots":[true,false,true],)"
                         R"("sams":[{"slot":1,"vendor":"Semivo"},{"slot":2}]})"));
        QCOMPARE(order, QStringList({"firmware", "active"}));
        QCOMPARE(v.deviceUid(), QStringLiteral("R1"));
        QCOMPARE(v.version(), QString());
        QCOMPARE(v.state(), QStringLiteral("CardFound"));
        QVERIFY(v.enabled());
        QCOMPARE(state.count(), 1);
        QCOMPARE(enabled.count(), 1);
        QCOMPARE(v.numberOfSlots(), 3);
        QVERIFY(v.sam());
        QCOMPARE(v.sam()->vendor(), QStringLiteral("Semivo"));
        QCOMPARE(v.sam()->parent(), &v);
        QPointer<SAM> old = v.sam();

        // Every status replaces the modules; a status without "sams" leaves none.
        v.fromJson(parse(R"({"state":7})"));
        QCOMPARE(v.state(), QStringLiteral("Unknown"));
        QVERIFY(!v.enabled());
        QCOMPARE(enabled.count(), 2);
        QCOMPARE(sam.count(), 2);
        QVERIFY(v.sam() == nullptr);
        QCOMPARE(v.numberOfSlots(), 0);
        QVERIFY(old);  // deleted by the event loop, not at once
        QTRY_VERIFY(old.isNull());

        // A change between two disabled states still announces enabledChanged.
        v.setState(QStringLiteral("Idle"));
        QCOMPARE(enabled.count(), 3);
        v.setState(QStringLiteral("Idle"));
        QCOMPARE(enabled.count(), 3);
        QCOMPARE(ValidatorRfid::mapState(4), QStringLiteral("Updating"));
        QCOMPARE(ValidatorRfid::mapState(-1), QStringLiteral("Unknown"));
    }
};

QTEST_MAIN(TestCardModels)
#include "tst_cardmodels.moc"
