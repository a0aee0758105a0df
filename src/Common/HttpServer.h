#pragma once
// Minimal HTTP/1.1 receiver for the cameras' posts: assembles each request from
// the bytes of its own connection, hands it to the owner and answers with a bare
// "HTTP/1.1 200 OK" before closing the connection.
#include "Common/Log.h"
#include <QByteArray>
#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpServer)
public:
    struct Request
    {
        QString method;
        QString path;
        QByteArray body;
    };

    // Limits of one request; a connection that exceeds them is closed unanswered.
    static constexpr int MaxHeaderSize = 64 * 1024;
    static constexpr qint64 MaxBodySize = 16 * 1024 * 1024;

    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    void listen(int port);
    void close();

signals:
    void requestReceived(QHostAddress peer, HttpServer::Request request);

private:
    // What has been received so far on one connection.
    struct ReceiveState
    {
        QByteArray buffer;
        qint64 expected = 0;   // Content-Length once the header is complete
        int headerEnd = -1;    // index of the blank line ending the header
        int bodyOffset = 0;    // index of the first body byte
        int scanned = 0;       // bytes already searched for the end of the header
        bool finished = false; // a request was consumed; later bytes are ignored
    };

    enum class Outcome {
        Incomplete, // wait for more bytes
        Consumed,   // a complete request was taken: answer it
        NoBody,     // the header is complete but carries no usable Content-Length: answer it
        TooLarge,   // header or body over the limits: close without answering
    };

    void onNewConnection();
    Outcome handleRequest(ReceiveState &state, const QHostAddress &peer, const QByteArray &data);
    static void answer(QTcpSocket *socket);

    QTcpServer *m_server;

private:
    static constexpr Log log{"[HttpServer] "};
};

Q_DECLARE_METATYPE(HttpServer::Request)
