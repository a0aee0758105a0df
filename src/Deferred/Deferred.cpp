#include "Deferred/Deferred.h"

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

DeferredProxyObject::DeferredProxyObject()
    : m_hook(new DeferredThreadHook(QThread::currentThread()))
{
    m_hook->m_proxy.store(this, std::memory_order_release);
}

DeferredProxyObject::~DeferredProxyObject()
{
    {
        std::lock_guard<std::mutex> lock(m_hook->m_mutex);
        m_hook->m_proxy.store(nullptr, std::memory_order_release);
    }
    m_hook->m_registered.store(false, std::memory_order_release);
    m_hook->deref();
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

namespace {
// The calling thread's hook, kept with a reference for the life of the thread.
struct HookCache
{
    DeferredThreadHook *hook = nullptr;
    ~HookCache()
    {
        if (hook)
            hook->deref();
    }
};
} // namespace

DeferredThreadHook *DeferredDataBase::currentThreadHook()
{
    static thread_local HookCache cache;
    if (cache.hook && cache.hook->isRegistered())
        return cache.hook;
    DeferredThreadHook *hook = getObjectForThread(QThread::currentThread())->hook();
    hook->ref();
    if (cache.hook)
        cache.hook->deref();
    cache.hook = hook;
    return hook;
}
