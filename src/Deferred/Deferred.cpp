#include "Deferred/Deferred.h"

#include <QLoggingCategory>

namespace {
// The framework's default category, made before the exit cleaner below so that it is
// destroyed after it. The cleaner's line at the process's exit is then still filtered by
// the log level, like every other debug line; once the category is gone, the framework
// lets every line through.
[[maybe_unused]] QLoggingCategory *const defaultCategory = QLoggingCategory::defaultCategory();
} // namespace

QMutex DeferredDataBase::s_mutex;
QMap<QThread *, DeferredProxyObject *> DeferredDataBase::s_threadMap;
QObject DeferredDataBase::s_objExitCleaner;

bool DeferredThreadHook::post(std::function<void()> &&fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    DeferredProxyObject *proxy = m_proxy.load(std::memory_order_acquire);
    if (!proxy)
        return false;
    auto *event = new DeferredProxyEvent;
    event->setFunction(std::move(fn));
    QCoreApplication::postEvent(proxy, event, Qt::HighEventPriority);
    return true;
}

namespace {
// Every hook ever made; they are never freed (results refer to them without counting).
void keepHook(DeferredThreadHook *hook)
{
    static std::mutex mutex;
    static auto *hooks = new std::vector<DeferredThreadHook *>;
    std::lock_guard<std::mutex> lock(mutex);
    hooks->push_back(hook);
}
} // namespace

DeferredProxyObject::DeferredProxyObject()
    : m_hook(new DeferredThreadHook(QThread::currentThread()))
{
    keepHook(m_hook);
    m_hook->m_proxy.store(this, std::memory_order_release);
}

DeferredProxyObject::~DeferredProxyObject()
{
    {
        std::lock_guard<std::mutex> lock(m_hook->m_mutex);
        m_hook->m_proxy.store(nullptr, std::memory_order_release);
    }
    m_hook->m_registered.store(false, std::memory_order_release);
    // Deliveries still queued for this object are discarded by ~QObject.
}

bool DeferredProxyObject::event(QEvent *e)
{
    if (e->type() == DeferredProxyEvent::EventType) {
        static_cast<DeferredProxyEvent *>(e)->run();
        return true;
    }
    return QObject::event(e);
}

DeferredProxyObject *DeferredDataBase::getObjectForThread(QThread *thread)
{
    static bool firstCall = true;
    QMutexLocker lock(&s_mutex);
    if (firstCall) {
        QObject::connect(
            &s_objExitCleaner, &QObject::destroyed, &s_objExitCleaner,
            []() { qDebug().noquote().nospace() << "DeferredDataBase was deleted."; }, Qt::DirectConnection);
        firstCall = false;
    }
    auto it = s_threadMap.find(thread);
    if (it == s_threadMap.end()) {
        QObject::connect(
            thread, &QThread::finished, thread, [thread]() { threadFinished(thread); }, Qt::DirectConnection);
        it = s_threadMap.insert(thread, new DeferredProxyObject);
    }
    return it.value();
}

void DeferredDataBase::threadFinished(QThread *thread)
{
    QMutexLocker lock(&s_mutex);
    DeferredProxyObject *proxy = s_threadMap.take(thread);
    if (proxy) {
        proxy->hook()->m_registered.store(false, std::memory_order_release);
        proxy->deleteLater();
    }
}

DeferredThreadHook *DeferredDataBase::refreshHook()
{
    return hookCache() = getObjectForThread(QThread::currentThread())->hook();
}
