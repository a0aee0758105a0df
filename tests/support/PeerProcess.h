#pragma once
// One test peer as a child process: started with its arguments, ready once it printed
// its ready line, its standard output kept as its log, stopped with SIGTERM (SIGKILL
// after 5 s). stop() reports whether the peer was still healthy, so a test that ends
// with QVERIFY(peer.stop()) fails when its peer crashed or exited by itself.
#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class PeerProcess
{
public:
    explicit PeerProcess(const QString &name = QString());
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Environment of the next start (default: the test's own).
    void setEnvironment(const QProcessEnvironment &env) { m_env = env; }
    void setWorkingDirectory(const QString &dir) { m_workDir = dir; }
    // The peer's standard error joins its output (else it goes to the test's own).
    void setMergedOutput() { m_proc.setProcessChannelMode(QProcess::MergedChannels); }

    // Starts program with args and waits until a line of its output contains readyText
    // (an empty readyText: only until it started). False when it ended or timed out first.
    bool start(const QString &program, const QStringList &args, const QByteArray &readyText = "READY",
               int timeoutMs = 15000);
    // The same for a Python peer from tests/peers (script is a file name there, or a path).
    bool startPython(const QString &script, const QStringList &args, const QByteArray &readyText = "READY",
                     int timeoutMs = 15000);

    // Everything the peer wrote to standard output so far.
    QByteArray output();
    // Waits until the output contains text; true when it does.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 15000);

    bool isRunning() const { return m_proc.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_proc.processId(); }
    // True when the peer ended without being asked to (a crash or an exit of its own).
    bool endedByItself() const;

    // SIGTERM, then SIGKILL after 5 s. Returns false when the peer had ended by itself
    // before (its output is then printed as a warning).
    bool stop();
    // SIGKILL, as a power cut would.
    void kill();

private:
    // A peer ends with the test that started it, also when the test crashes: it would
    // otherwise keep its ports and the test's standard error (ctest waits on it).
    class ChildProcess : public QProcess
    {
    protected:
        void setupChildProcess() override;
    };

    QString m_name;
    ChildProcess m_proc;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    QString m_workDir;
    QByteArray m_out;
    bool m_started = false;
    bool m_stopping = false;
};
