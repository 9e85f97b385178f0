// Signals turned into calls from the event loop.
#include "CSignalPipe.h"

#include <QTest>

#include <cerrno>
#include <csignal>

#include <fcntl.h>

class TestSignalPipe : public QObject {
    Q_OBJECT

private slots:
    // Each signal of a group is told apart, and comes once per turn of the loop however often
    // it was raised.
    void signalsBecomeOneCallEach() {
        QList<int> calls;
        CSignalPipe pipe(
            {SIGUSR2, SIGWINCH}, [&](int signalNumber) { calls.append(signalNumber); }, SIG_IGN);
        QVERIFY(pipe.Installed());
        // The handler leaves errno as the interrupted code had it.
        errno = EINTR;
        std::raise(SIGUSR2);
        QCOMPARE(errno, EINTR);
        QCOMPARE(calls, QList<int>{}); // nothing runs inside the handler
        QTRY_COMPARE(calls, QList<int>{SIGUSR2});
        std::raise(SIGWINCH);
        std::raise(SIGUSR2);
        std::raise(SIGWINCH);
        QTRY_COMPARE(calls, (QList<int>{SIGUSR2, SIGWINCH, SIGUSR2}));
    }

    void oneOwnerPerSignal() {
        CSignalPipe first(
            {SIGUSR2}, [](int) {}, SIG_IGN);
        CSignalPipe second(
            {SIGUSR2}, [](int) {}, SIG_IGN);
        QVERIFY(first.Installed());
        QVERIFY(!second.Installed());
    }

    // No child process inherits the pipe.
    void closeOnExec() {
        CSignalPipe pipe(
            {SIGUSR2}, [](int) {}, SIG_IGN);
        int found = 0;
        for (int fd = 3; fd < 1024; ++fd) {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || (flags & O_NONBLOCK) == 0)
                continue;
            ++found;
            QVERIFY2((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, qPrintable(QString::number(fd)));
        }
        QVERIFY(found >= 2);
    }
};

QTEST_GUILESS_MAIN(TestSignalPipe)
#include "TestSignalPipe.moc"
