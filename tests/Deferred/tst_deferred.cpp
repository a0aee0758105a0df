#include "Deferred/Deferred.h"
#include "LogCapture.h"

#include <QJsonValue>
#include <QtTest>

class TestDeferred : public QObject
{
    Q_OBJECT
private slots:
    void resolveRunsDoneHandlersInOrder();
};

void TestDeferred::resolveRunsDoneHandlersInOrder()
{
    Deferred<int, QJsonValue> d;
    QStringList calls;
    d.done([&](int status, QJsonValue body) { calls << QString("a%1%2").arg(status).arg(body.toString()); })
        .done([&](int status, QJsonValue) { calls << QString("b%1").arg(status); });
    d.doneZero([&] { calls << "zero"; });
    d.fail([&](int, QJsonValue) { calls << "fail"; });
    QCOMPARE(d.state(), 0);
    d.resolve(200, QJsonValue("x"));
    QCOMPARE(calls, QStringList({"a200x", "b200", "zero"}));
    QCOMPARE(d.state(), 1);
}

QTEST_GUILESS_MAIN(TestDeferred)
#include "tst_deferred.moc"
