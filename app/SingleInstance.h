#pragma once

#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

// One running copy of the program per settings file: two copies would each write the file at
// exit, and the later would undo the other's changes. The first copy holds a lock file beside
// the settings file and listens on a local socket named after it; a later copy finds the lock
// taken, asks the first copy to bring its window forward, and ends.
class TSingleInstance {
public:
    explicit TSingleInstance(const QString& settingsFile);
    ~TSingleInstance();

    // True when this is the first copy: it holds the lock and listens from now on. A folder
    // where no lock file can be made does not keep the program from running.
    bool Claim();
    // Asks the copy that holds the lock to show its window; false when it cannot be reached
    // within a few seconds.
    bool CallFirstCopy();

    // Run in the first copy when a later one asks for its window.
    std::function<void()> OnShowRequest;

    // The local socket's name: the user's and the settings file's, short enough for any
    // socket path.
    static QString ServerName(const QString& settingsFile);

private:
    void Listen();

    QString serverName_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};
