#include "PeerProcess.h"

#include "TestUtil.h"

#include <QDebug>
#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>

void PeerProcess::ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

PeerProcess::PeerProcess(const QString &name)
    : m_name(name)
{
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::start(const QString &program, const QStringList &args, const QByteArray &readyText, int timeoutMs)
{
    if (m_name.isEmpty())
        m_name = QFileInfo(args.isEmpty() ? program : args.first()).fileName();
    m_out.clear();
    m_stopping = false;
    m_started = false;
    m_proc.setProcessEnvironment(m_env);
    if (!m_workDir.isEmpty())
        m_proc.setWorkingDirectory(m_workDir);
    m_proc.start(program, args);
    if (!m_proc.waitForStarted(5000)) {
        qWarning().noquote() << "peer" << m_name << "did not start:" << m_proc.errorString();
        return false;
    }
    m_started = true;
    if (readyText.isEmpty())
        return true;
    if (waitForOutput(readyText, timeoutMs))
        return true;
    qWarning().noquote() << "peer" << m_name << "not ready; its output:\n" << m_out;
    return false;
}

bool PeerProcess::startPython(const QString &script, const QStringList &args, const QByteArray &readyText,
                              int timeoutMs)
{
    const QString path = script.contains(QLatin1Char('/')) ? script : QStringLiteral(PEERS_DIR "/") + script;
    return start(TestUtil::python(), QStringList{path} + args, readyText, timeoutMs);
}

QByteArray PeerProcess::output()
{
    if (m_proc.state() != QProcess::NotRunning || m_proc.bytesAvailable())
        m_out += m_proc.readAllStandardOutput();
    return m_out;
}

bool PeerProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    return TestUtil::waitUntil([&] { return output().contains(text) || (!isRunning() && !m_proc.bytesAvailable()); },
                               timeoutMs)
        && m_out.contains(text);
}

bool PeerProcess::endedByItself() const
{
    return m_started && !m_stopping && m_proc.state() == QProcess::NotRunning;
}

bool PeerProcess::stop()
{
    if (m_proc.state() == QProcess::NotRunning) {
        const bool healthy = !endedByItself();
        if (!healthy)
            qWarning().noquote() << "peer" << m_name << "ended by itself; its output:\n" << output();
        m_stopping = true;
        return healthy;
    }
    m_stopping = true;
    output();
    m_proc.terminate();
    if (!m_proc.waitForFinished(5000)) {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    output();
    return true;
}

void PeerProcess::kill()
{
    m_stopping = true;
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.kill();
    m_proc.waitForFinished(5000);
}
