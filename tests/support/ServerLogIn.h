#pragma once

#include <QByteArray>

// The whole log-in exchange as a well-behaved client does it, against a server in the test's
// own process: client has data (all received so far) and Write; wait(predicate) is the test's
// own wait; loggedIn() counts the server's logged-in clients.
template <typename Client, typename Wait, typename Count>
bool ServerLogIn(Client& client, const QByteArray& login, const QByteArray& password, Wait wait,
                 Count loggedIn) {
    const int before = loggedIn();
    if (!wait([&] { return client.data == "login:"; }))
        return false;
    client.Write(login + '\n');
    if (!wait([&] { return client.data == "login:password:"; }))
        return false;
    client.Write(password + '\n');
    return wait([&] { return loggedIn() == before + 1; });
}
