// Signals turned into calls from the event loop.
#include "CSignalPipe.h"

#include <QTest>

#include <cerrno>
#include <csignal>

#include <fcntl.h>

class TestSignalPipe : public QObject {
    Q_OBJECT

private slots:
    void signalsBecomeOneCallEach() {
        int calls = 0;
        CSignalPipe pipe(
            {SIGUSR2}, [&] { ++calls; }, SIG_IGN);
        QVERIFY(pipe.Installed());
        // The handler leaves errno as the interrupted code had it.
        errno = EINTR;
        std::raise(SIGUSR2);
        QCOMPARE(errno, EINTR);
        QCOMPARE(calls, 0); // nothing runs inside the handler
        QTRY_COMPARE(calls, 1);
        std::raise(SIGUSR2);
        std::raise(SIGUSR2);
        QTRY_VERIFY(calls >= 2);
    }

    void oneOwnerPerSignal() {
        CSignalPipe first(
            {SIGUSR2}, [] {}, SIG_IGN);
        CSignalPipe second(
            {SIGUSR2}, [] {}, SIG_IGN);
        QVERIFY(first.Installed());
        QVERIFY(!second.Installed());
    }

    // No child process inherits the pipe.
    void closeOnExec() {
        CSignalPipe pipe(
            {SIGUSR2}, [] {}, SIG_IGN);
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
