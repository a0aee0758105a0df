#pragma once
// The body of one PUT or POST, handed to the access manager as a device.
//
// The access manager writes a request's header and its body to the socket apart, and
// keeps Nagle's algorithm on: on a kept-alive connection to a server that delays its
// ACKs (servers do while a request is incomplete), the body then waits for the ACK of
// the header, some 40 ms a request. The manager offers no way to set socket options,
// so the body does it when the manager first reads it: by then the connection is up
// and the header written, and every connection of this process to the server's port
// gets TCP_NODELAY before the body goes out.
#include <QByteArray>
#include <QIODevice>

class HttpRequestBody : public QIODevice
{
    Q_OBJECT
public:
    HttpRequestBody(QByteArray data, quint16 serverPort, QObject *parent = nullptr);

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_data.size(); }

    // Switches Nagle's algorithm off on this process's TCP connections to that port;
    // returns how many it changed.
    static int sendAtOnce(quint16 serverPort);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const QByteArray m_data;
    const quint16 m_port;
};
