#pragma once

#include "CClockDeadline.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <cstddef>
#include <functional>
#include <map>
#include <vector>

class QTimerEvent;

// Password checks kept off the relay's thread. A hash is worked out on a small pool of worker
// threads that run at a lower priority than the relay, and the answer comes back to the owner's
// thread as a queued call. At most maxQueued checks wait or run at a time; one past them is
// answered QueueFull without any work.
//
// A login that is not in the users file costs no hash: its refusal is held on the owner's
// clock for as long as one of the recent checks took (picked at random among the last ones),
// so the time of the answer does not tell whether the login exists. A QueueFull answer is held
// the same way. The answer never comes within the call that asked for it.
class CPasswordChecks : public QObject {
    Q_OBJECT

public:
    enum class Outcome { Accepted, Refused, QueueFull };
    using Done = std::function<void(Outcome)>;
    // Whether the password is the one expected, hash or plain; called on a worker thread.
    using Matcher = std::function<bool(const QByteArray& expected, const QByteArray& password)>;
    // Milliseconds on the owner's clock.
    using NowMs = std::function<qint64()>;

    struct Settings {
        int threads = 1;
        int maxQueued = 32;
    };

    CPasswordChecks(Settings settings, NowMs now, QObject* parent = nullptr);
    // Drops the checks still waiting and waits for those being worked out, unanswered.
    ~CPasswordChecks() override;

    // expected: the users file's password or hash for the login, null for a login not in it;
    // read before the call returns. hashesInUse: whether the users file holds hashes, so that
    // an unknown login has to seem checked.
    void Check(const QByteArray* expected, const QByteArray& password, bool hashesInUse, Done done);
    // Answers at the next turn of the loop without a check (a server that takes any login).
    void Answer(Outcome outcome, Done done);
    // Gives the held answers whose time has come; their timer only wakes the loop for it.
    void Tick(qint64 now);

    // For tests: what a worker runs instead of PasswordMatches.
    void SetMatcher(Matcher matcher) { m_matcher = std::move(matcher); }
    qsizetype Queued() const { return m_pending.size(); }
    qsizetype Held() const { return static_cast<qsizetype>(m_held.size()); }

    // Check times kept to time the answers that need no check.
    static constexpr std::size_t kSamples = 64;
    // The hold until a first check was timed: about a yescrypt check with mkpasswd's defaults.
    static constexpr qint64 kFirstGuessMs = 100;
    static constexpr qint64 kMaxHoldMs = 10000;
    // Answers held at once at most; past them an answer comes at once.
    static constexpr std::size_t kMaxHeld = 65536;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Pending {
        Done done;
        qint64 startedAt = 0;
    };
    void Hold(Outcome outcome, Done done);
    void Finished(quint64 id, bool matched);
    qint64 TypicalMs() const;
    void ArmHeld(qint64 now);

    Settings m_settings;
    NowMs m_now;
    Matcher m_matcher;
    QThreadPool m_pool;
    QHash<quint64, Pending> m_pending; // on a worker or waiting for one
    quint64 m_nextId = 1;
    std::vector<qint64> m_samples; // the last kSamples check times, as a ring
    std::size_t m_nextSample = 0;
    std::multimap<qint64, std::pair<Outcome, Done>> m_held; // by when they are due
    CClockDeadline m_heldDeadline;
};
