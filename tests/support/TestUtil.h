#pragma once
#include <QString>
#include <QTcpSocket>
#include <functional>

namespace TestUtil {
// A loopback port that nothing listens on and that no other process can take while this
// object holds it: it is bound without listening, so connections to it are refused.
// release() hands it over to a peer that must listen on exactly this port (a device that
// appears late, or comes back on its address); everything else binds port 0 and reads
// the port back.
class ReservedPort
{
public:
    ReservedPort();
    quint16 port() const { return m_port; }
    void release() { m_socket.close(); }

private:
    QTcpSocket m_socket;
    quint16 m_port = 0;
};
// Runs the event loop until cond() is true or timeoutMs passes; returns cond(). The bounds
// of the waits here and in the fixtures are generous by default: a slow, loaded machine
// takes its time, and a wait that is met costs nothing more.
bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 15000);
// The python interpreter the test peers run on.
QString python();
// Whether the file exists and only its owner may read or write it.
bool ownerOnly(const QString &path);
// Runs one statement on the database file with the sqlite3 tool, as another process
// would, waiting while the file is locked by a writer; its output, or "<sqlite3 failed: …>".
QString sqlite3(const QString &file, const QString &sql);
// Whether the current row belongs to the part of a long test that this run is (the entries
// that zuka_add_test's PARTS registers): its name matches the regular expression in
// ZUKA_TEST_ROWS, or that is unset. Called from the test's init(), it skips the other rows.
bool rowSelected();
}
