#pragma once

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QString>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

// One run of a program with its standard streams on /dev/null, timed from spawn to exit on a
// thread of its own, so how often the caller looks adds nothing to the figure. A run still going
// when it is dropped is killed.
class TimedLaunch {
public:
    TimedLaunch(const QString& binary, const QProcessEnvironment& env)
        : binary_(binary.toStdString()) {
        for (const QString& entry : env.toStringList())
            environment_.push_back(entry.toStdString());
        thread_ = std::thread([this] { run(); });
    }
    ~TimedLaunch() {
        if (!thread_.joinable())
            return;
        if (const pid_t pid = pid_; pid > 0)
            ::kill(pid, SIGKILL);
        thread_.join();
    }
    Q_DISABLE_COPY_MOVE(TimedLaunch)

    bool done() const { return done_; }
    // Milliseconds from spawn to exit, or -1 if it failed.
    double finish() {
        if (thread_.joinable())
            thread_.join();
        return ms_;
    }

private:
    void run() {
        std::vector<char*> envp;
        for (std::string& entry : environment_)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        char* argv[] = {binary_.data(), nullptr};
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        for (int fd : {0, 1, 2})
            posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                             0);
        QElapsedTimer timer;
        timer.start();
        pid_t pid = -1;
        int status = 0;
        if (posix_spawn(&pid, binary_.c_str(), &quiet, nullptr, argv, envp.data()) == 0) {
            pid_ = pid;
            const bool ended = ::waitpid(pid, &status, 0) == pid;
            pid_ = -1; // reaped: the number may be another process's from now on
            if (ended && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                ms_ = double(timer.nsecsElapsed()) / 1e6;
        }
        posix_spawn_file_actions_destroy(&quiet);
        done_ = true;
    }

    std::string binary_;
    std::vector<std::string> environment_;
    std::atomic<pid_t> pid_{-1};
    std::atomic<bool> done_{false};
    double ms_ = -1;
    std::thread thread_;
};
