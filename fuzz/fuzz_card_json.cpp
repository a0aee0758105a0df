// The card format and the tag records as the RFID reader service sends them.
#include "Common/Utils.h"
#include "Models/Tag.h"
#include "Models/ZUKAv1Card.h"

#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Parsed as the service clients parse what the reader service sends.
    const QJsonDocument doc = Utils::parseJson(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    const QJsonObject object = doc.object();

    const Tag::Ptr tag = Tag::fromJson(object);
    if (tag)
        tag->toJson();

    const auto card = ZUKAv1Card::fromJson(object);
    if (!card)
        abort();
    card->lastUsage();
    card->addUsageLog(QStringLiteral("exit"), QStringLiteral("T-01"), QStringLiteral("L-1"));
    card->incrUsageCounter(1);
    const QJsonObject written = card->toJson();
    // What is written reads back to the same data.
    const auto again = ZUKAv1Card::fromJson(written);
    if (again->data().value(QStringLiteral("info")) != card->data().value(QStringLiteral("info")))
        abort();
    card->setData(object.value(QStringLiteral("data")).toObject());
    return 0;
}
