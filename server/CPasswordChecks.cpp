#include "CPasswordChecks.h"

#include "CUserTable.h"

#include <QRandomGenerator>
#include <QTimerEvent>

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

namespace {
// Workers yield the CPU to the relay on a busy machine.
constexpr int kWorkerNice = 10;

void LowerThisThread() {
    // Linux keeps a nice value per thread; a pool thread is lowered once in its life.
    thread_local const bool lowered =
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice) == 0;
    static_cast<void>(lowered);
}
} // namespace

CPasswordChecks::CPasswordChecks(Settings settings, NowMs now, QObject* parent)
    : QObject(parent), m_settings(settings), m_now(std::move(now)), m_matcher(PasswordMatches) {
    m_pool.setMaxThreadCount(std::max(1, m_settings.threads));
}

CPasswordChecks::~CPasswordChecks() {
    m_pool.clear();
    m_pool.waitForDone();
}

void CPasswordChecks::Check(const QByteArray* expected, const QByteArray& password,
                            bool hashesInUse, Done done) {
    if (expected == nullptr) {
        if (hashesInUse)
            Hold(Outcome::Refused, std::move(done));
        else
            Answer(Outcome::Refused, std::move(done));
        return;
    }
    if (!CUserTable::IsHash(*expected)) {
        // A plain password is compared in constant time, here: no worker needed.
        Answer(PasswordMatches(*expected, password) ? Outcome::Accepted : Outcome::Refused,
               std::move(done));
        return;
    }
    if (m_pending.size() >= m_settings.maxQueued) {
        Hold(Outcome::QueueFull, std::move(done));
        return;
    }
    const quint64 id = m_nextId++;
    m_pending.insert(id, Pending{std::move(done), m_now()});
    m_pool.start([this, id, hash = *expected, password, matcher = m_matcher] {
        LowerThisThread();
        const bool matched = matcher(hash, password);
        QMetaObject::invokeMethod(
            this, [this, id, matched] { Finished(id, matched); }, Qt::QueuedConnection);
    });
}

void CPasswordChecks::Answer(Outcome outcome, Done done) {
    QMetaObject::invokeMethod(
        this, [outcome, done = std::move(done)] { done(outcome); }, Qt::QueuedConnection);
}

void CPasswordChecks::Finished(quint64 id, bool matched) {
    const auto it = m_pending.find(id);
    if (it == m_pending.end())
        return;
    const Pending pending = std::move(*it);
    m_pending.erase(it);
    const qint64 took = std::max<qint64>(m_now() - pending.startedAt, 0);
    if (m_samples.size() < kSamples)
        m_samples.push_back(took);
    else
        m_samples[m_nextSample] = took;
    m_nextSample = (m_nextSample + 1) % kSamples;
    pending.done(matched ? Outcome::Accepted : Outcome::Refused);
}

// One of the recent check times, queueing included, so that held answers are spread as real
// ones are.
qint64 CPasswordChecks::TypicalMs() const {
    if (m_samples.empty())
        return kFirstGuessMs;
    const auto pick = QRandomGenerator::global()->bounded(static_cast<quint32>(m_samples.size()));
    return std::min(m_samples[pick], kMaxHoldMs);
}

void CPasswordChecks::Hold(Outcome outcome, Done done) {
    if (m_held.size() >= kMaxHeld) {
        Answer(outcome, std::move(done));
        return;
    }
    const qint64 now = m_now();
    m_held.emplace(now + TypicalMs(), std::make_pair(outcome, std::move(done)));
    ArmHeld(now);
}

void CPasswordChecks::ArmHeld(qint64 now) {
    if (m_held.empty())
        m_heldDeadline.Stop();
    else
        m_heldDeadline.StartAt(m_held.begin()->first, now, this);
}

void CPasswordChecks::Tick(qint64 now) {
    if (m_held.empty() || m_held.begin()->first > now)
        return;
    std::vector<std::pair<Outcome, Done>> due;
    while (!m_held.empty() && m_held.begin()->first <= now) {
        due.push_back(std::move(m_held.begin()->second));
        m_held.erase(m_held.begin());
    }
    ArmHeld(now);
    // Last: an answer may lead to another check.
    for (const auto& [outcome, done] : due)
        done(outcome);
}

void CPasswordChecks::timerEvent(QTimerEvent* event) {
    if (!m_heldDeadline.Owns(event))
        return;
    const qint64 now = m_now();
    if (m_heldDeadline.WokeUp(now, this))
        Tick(now);
}
